// The Chinese notices of the service: GBK bytes in the Windows build, as
// Windows consoles of the product's users expect; UTF-8 elsewhere.
#pragma once

#ifdef _WIN32
#define TESK_TEXT_START "\xc6\xf4\xb6\xaf"        /* 启动 */
#define TESK_TEXT_STOP "\xcd\xa3\xd6\xb9"         /* 停止 */
#define TESK_TEXT_SERVICE "\xb7\xfe\xce\xf1"      /* 服务 */
#define TESK_TEXT_LOG_LEVEL "\xc8\xd5\xd6\xbe\xbc\xb6\xb1\xf0" /* 日志级别 */
#define TESK_TEXT_ELLIPSIS "\xa1\xad"       /* … */
#else
#define TESK_TEXT_START "\xe5\x90\xaf\xe5\x8a\xa8"
#define TESK_TEXT_STOP "\xe5\x81\x9c\xe6\xad\xa2"
#define TESK_TEXT_SERVICE "\xe6\x9c\x8d\xe5\x8a\xa1"
#define TESK_TEXT_LOG_LEVEL "\xe6\x97\xa5\xe5\xbf\x97\xe7\xba\xa7\xe5\x88\xab"
#define TESK_TEXT_ELLIPSIS "\xe2\x80\xa6"
#endif

#define TESK_NOTICE_DHCP_START TESK_TEXT_START "Dhcpd" TESK_TEXT_SERVICE
#define TESK_NOTICE_DHCP_STOP TESK_TEXT_STOP "Dhcpd" TESK_TEXT_SERVICE
#define TESK_NOTICE_TFTP_START TESK_TEXT_START "Tftpd" TESK_TEXT_SERVICE
#define TESK_NOTICE_TFTP_STOP TESK_TEXT_STOP "Tftpd" TESK_TEXT_SERVICE
#define TESK_NOTICE_LOG_LEVEL "%s " TESK_TEXT_LOG_LEVEL "m_nLogLevel[%d]\r\n"
#define TESK_NOTICE_ONLY_DEBUG "%s " TESK_TEXT_LOG_LEVEL "m_bOnlyOutputDebug[%d]\r\n"
