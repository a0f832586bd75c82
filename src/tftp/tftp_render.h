// Files the host renders for one client (RegisterRenderTftpFileCallback).
// The host writes into a worker's scratch area; what it wrote is copied into
// an allocation of its own length, held by its one transfer, and the bytes
// all rendered transfers hold together are capped, so a flood of requests
// for rendered names cannot take the memory a flood of files on disk would
// not.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "Tavrel.h"
#include "net/ip_address.h"

// Rendered bytes held by all transfers at once; a request beyond is refused as busy.
constexpr size_t kTftpRenderedBytesCap = size_t(64) << 20;
// A host call slower than this writes a line (rate-capped with its datagram).
constexpr int64_t kTftpRenderSlowUs = 5000;

// The host's function, or null; read once per read request by every worker.
void SetTftpRenderProc(RenderTftpFileProc render);
bool TftpRenderRegistered();

enum class TftpRenderOutcome {
    kNotMine,   // served from the boot folder
    kNotFound,  // the host has no such file for this client (or answered out of bounds)
    kBusy,      // the cap of rendered bytes is reached
    kRendered,
};

// Bytes of one rendered file, counted against the cap until released.
struct RenderedBytes {
    unsigned char *lpBytes = nullptr;  // null for an empty file
    uint32_t dwSize = 0;
};

// A worker's scratch area for the host to write into, allocated at its first use.
class TftpRenderScratch {
public:
    unsigned char *Area();

private:
    std::unique_ptr<unsigned char[]> m_lpArea;
};

// Asks the host for lpName (a name the boot folder rules accept) for peer.
TftpRenderOutcome RenderTftpFile(const char *lpName, const IpEndpoint &peer, TftpRenderScratch &scratch,
                                 RenderedBytes *lpFile);
// Frees the bytes and gives their count back to the cap.
void ReleaseRenderedBytes(RenderedBytes *lpFile);
// Rendered bytes held now, by every transfer.
size_t RenderedBytesHeld();
