// Reading and writing of DHCP messages and the PXE vendor options.
#include <cstring>

#include "dhcp/dhcp_server.h"

namespace {

// Appends sub-options to an option-43 area.
class OptionWriter {
public:
    explicit OptionWriter(unsigned char *area) : m_lpArea(area) {}
    void Byte(unsigned value) { m_lpArea[m_nLen++] = static_cast<unsigned char>(value); }
    void Word(unsigned value) {
        Byte(value >> 8);
        Byte(value & 0xff);
    }
    void Bytes(const void *data, int len) {
        memcpy(m_lpArea + m_nLen, data, static_cast<size_t>(len));
        m_nLen += len;
    }
    // A fixed-width text field, zero-padded.
    void Text(const char *text, int width) {
        int len = static_cast<int>(strlen(text));
        Bytes(text, len);
        for (int i = len; i < width; ++i) Byte(0);
    }
    int Length() const { return m_nLen; }

private:
    unsigned char *m_lpArea;
    int m_nLen = 0;
};

const char *const kMenuText = "Vaeld";

}  // namespace

void TeskDhcpServer::BuildDiscoveryOptions() {
    memset(m_DiscoveryOptions, 0, sizeof m_DiscoveryOptions);
    OptionWriter out(m_DiscoveryOptions);
    out.Byte(6);  // PXE_DISCOVERY_CONTROL: only the listed boot servers
    out.Byte(1);
    out.Byte(7);
    out.Byte(8);  // PXE_BOOT_SERVERS: type 1, one address
    out.Byte(7);
    out.Word(1);
    out.Byte(1);
    out.Bytes(&m_dwServerIP, 4);
    out.Byte(9);  // PXE_BOOT_MENU: item 1
    out.Byte(13);
    out.Word(1);
    out.Byte(10);
    out.Text(kMenuText, 10);
    out.Byte(10);  // PXE_MENU_PROMPT: no wait
    out.Byte(29);
    out.Byte(0);
    out.Text(kMenuText, 28);
    out.Byte(255);
    m_DiscoveryOptionsLen = out.Length();
}

void TeskDhcpServer::BuildBootItemOptions() {
    memset(m_BootItemOptions, 0, sizeof m_BootItemOptions);
    OptionWriter out(m_BootItemOptions);
    out.Byte(71);  // PXE_BOOT_ITEM: type 1, layer 0
    out.Byte(4);
    out.Word(1);
    out.Word(0);
    out.Byte(255);
    m_BootItemOptionsLen = out.Length();
}
