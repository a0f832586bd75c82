// The BOOTP/DHCP message fields the service touches.
#pragma once

constexpr int kDhcpOpOffset = 0;
constexpr int kDhcpCiaddrOffset = 12;
constexpr int kDhcpYiaddrOffset = 16;
constexpr int kDhcpSiaddrOffset = 20;
constexpr int kDhcpGiaddrOffset = 24;
constexpr int kDhcpChaddrOffset = 28;
constexpr int kDhcpSnameOffset = 44;
constexpr int kDhcpFileOffset = 108;
constexpr int kDhcpCookieOffset = 236;
constexpr int kDhcpOptionsOffset = 240;
constexpr unsigned char kDhcpMagicCookie[4] = {99, 130, 83, 99};
constexpr unsigned char kDhcpMessageTypeOption = 53;

constexpr unsigned char kBootRequest = 1;
constexpr unsigned char kBootReply = 2;
constexpr unsigned char kDhcpDiscover = 1;
constexpr unsigned char kDhcpOffer = 2;
constexpr unsigned char kDhcpRequest = 3;
constexpr unsigned char kDhcpDecline = 4;
constexpr unsigned char kDhcpAck = 5;
constexpr unsigned char kDhcpNak = 6;
constexpr unsigned char kDhcpRelease = 7;

// The one-byte options: padding, and the end of the options of an answer
// and of the PXE sub-option areas alike.
constexpr unsigned kOptPad = 0;
constexpr unsigned kOptEnd = 255;

// Client kinds, as TeskSubNetStruct::nDhcpType names them: a range serves
// only clients of its own kind.
constexpr int kBootStageClient = 1;  // vendor class naming PXE or Linux; port-4455 requests
constexpr int kOtherClient = 2;      // every other DHCP client

constexpr unsigned char kDhcpVendorClassOption = 60;
constexpr unsigned char kDhcpUserClassOption = 77;
constexpr unsigned char kDhcpClientArchOption = 93;  // RFC 4578 client system architecture
constexpr unsigned char kDhcpRequestedAddressOption = 50;
constexpr unsigned char kDhcpServerIdOption = 54;
constexpr unsigned char kDhcpIpxeOption = 175;
constexpr unsigned char kDhcpMachineIdOption = 97;  // RFC 4578 client machine identifier  // iPXE's encapsulated settings

// The smallest BOOTP message relay agents pass on (RFC 951): answers are
// padded to it.
constexpr int kBootpMinimumSize = 300;
