// TFTP datagrams are built with the shared bounded writer.
#pragma once

#include "net/packet_writer.h"

using TftpPacketWriter = PacketWriter;
