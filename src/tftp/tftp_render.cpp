#include "tftp/tftp_render.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>

#include "log/log_text.h"
#include "log/logger.h"

namespace {

std::atomic<RenderTftpFileProc> g_Render{nullptr};
std::atomic<size_t> g_nHeld{0};

// The name as the boot folder reads it: its leading separator names the
// folder itself, and either separator parts it.
void FolderName(const char *lpName, char *lpOut, size_t nSize) {
    if (*lpName == '/' || *lpName == '\\') ++lpName;
    size_t i = 0;
    for (; lpName[i] && i + 1 < nSize; ++i) lpOut[i] = lpName[i] == '\\' ? '/' : lpName[i];
    lpOut[i] = '\0';
}

bool Reserve(size_t nBytes) {
    size_t nBefore = g_nHeld.fetch_add(nBytes);
    if (nBefore + nBytes <= kTftpRenderedBytesCap) return true;
    g_nHeld.fetch_sub(nBytes);
    return false;
}

// The host's answer in bytes of their own; kNotFound for a result outside
// 0..capacity other than the two codes.
TftpRenderOutcome TakeResult(int nResult, const char *lpName, const unsigned char *lpArea, RenderedBytes *lpFile) {
    if (nResult == TAVREL_RENDER_NOT_MINE) return TftpRenderOutcome::kNotMine;
    if (nResult == TAVREL_RENDER_NOT_FOUND) return TftpRenderOutcome::kNotFound;
    if (nResult < 0 || nResult > TAVREL_RENDER_MAX_BYTES) {
        LogWrite(LOG_ERROR, "TFTP render of %s: the host returned %d, answered as not found",
                 PrintableText(lpName).Text(), nResult);
        return TftpRenderOutcome::kNotFound;
    }
    size_t nSize = static_cast<size_t>(nResult);
    if (!Reserve(nSize)) {
        LogWrite(LOG_INFO, "TFTP render of %s refused: rendered transfers hold %u KiB", PrintableText(lpName).Text(),
                 static_cast<unsigned>(RenderedBytesHeld() / 1024));
        return TftpRenderOutcome::kBusy;
    }
    unsigned char *lpBytes = nSize ? new (std::nothrow) unsigned char[nSize] : nullptr;
    if (nSize && !lpBytes) {
        g_nHeld.fetch_sub(nSize);
        return TftpRenderOutcome::kBusy;
    }
    if (nSize) memcpy(lpBytes, lpArea, nSize);
    lpFile->lpBytes = lpBytes;
    lpFile->dwSize = static_cast<uint32_t>(nSize);
    return TftpRenderOutcome::kRendered;
}

}  // namespace

void SetTftpRenderProc(RenderTftpFileProc render) { g_Render = render; }

bool TftpRenderRegistered() { return g_Render.load() != nullptr; }

unsigned char *TftpRenderScratch::Area() {
    if (!m_lpArea) m_lpArea.reset(new (std::nothrow) unsigned char[TAVREL_RENDER_MAX_BYTES]);
    return m_lpArea.get();
}

TftpRenderOutcome RenderTftpFile(const char *lpName, const IpEndpoint &peer, TftpRenderScratch &scratch,
                                 RenderedBytes *lpFile) {
    RenderTftpFileProc render = g_Render.load();
    if (!render) return TftpRenderOutcome::kNotMine;
    unsigned char *lpArea = scratch.Area();
    if (!lpArea) return TftpRenderOutcome::kBusy;
    TftpRenderRecord request;
    memset(&request, 0, sizeof request);
    FolderName(lpName, request.file, sizeof request.file);
    FormatIpAddress(peer.Address(), request.address, sizeof request.address);
    request.port = peer.Port();
    auto start = std::chrono::steady_clock::now();
    int nResult = render(&request, lpArea, TAVREL_RENDER_MAX_BYTES);
    int64_t nUs =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count();
    if (nUs > kTftpRenderSlowUs)
        LogWrite(LOG_INFO, "TFTP render of %s for %s took %d ms", PrintableText(request.file).Text(),
                 request.address, static_cast<int>(nUs / 1000));
    return TakeResult(nResult, request.file, lpArea, lpFile);
}

void ReleaseRenderedBytes(RenderedBytes *lpFile) {
    if (!lpFile) return;
    delete[] lpFile->lpBytes;
    g_nHeld.fetch_sub(lpFile->dwSize);
    *lpFile = RenderedBytes{};
}

size_t RenderedBytesHeld() { return g_nHeld.load(); }
