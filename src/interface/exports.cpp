// The exported functions: callbacks, start, refresh and stop of both services.
#include "Tavrel.h"

#include "dhcp/dhcp_server.h"
#include "events/boot_events.h"
#include "interface/library_state.h"
#include "interface/pxe_v6.h"
#include "log/logger.h"
#include "platform/platform.h"
#include "tftp/tftp_render.h"
#include "tftp/tftp_server.h"

TeskDhcpServer *MyDhcpServer = nullptr;
TeskTftpServer *MyTftpServer = nullptr;
// The TFTP workers after MyTftpServer, where several share UDP 69.
static TeskTftpServer *g_ExtraTftpWorkers[TeskTftpServer::kMostWorkers - 1] = {};
DhcpHostHooks g_HostHooks;

static const char *const kSourceName = "Tavrel";
static bool g_bSocketsStarted = false;

// A service whose start failed is stopped and dropped at once, so the next
// StartPXE starts it afresh instead of finding a dead one in place.
template <class Service>
static void DropService(Service *&service) {
    TeskServiceFrame::StopAndFree(service);
    service = nullptr;
}

// A worker that cannot start costs speed, not the service: the first one
// serves every client the system hands it, and the rest go to the others.
static void StartExtraTftpWorkers(TeskPxeServerStruct *lpConfig, int nWorkers) {
    for (int i = 1; i < nWorkers; ++i) {
        TeskTftpServer *&worker = g_ExtraTftpWorkers[i - 1];
        worker = TeskTftpServer::Create(i, nWorkers);
        if (worker->StartServer(lpConfig) == 0) continue;
        LogWriteText("TFTP worker %d of %d did not start", i + 1, nWorkers);
        DropService(worker);
    }
}

// Once for StartPXE and StartPXEV6 alike; StopPXE undoes it.
static void StartSocketsAndEvents() {
    if (!g_bSocketsStarted) {
        int nStartup = platform::SocketsStartup();
        if (nStartup != 0) LogWriteText("WSAStartup error %d", -nStartup);
    }
    g_bSocketsStarted = true;
    StartBootEventDelivery();
}

static void StopExtraTftpWorkers() {
    for (TeskTftpServer *&worker : g_ExtraTftpWorkers)
        if (worker) DropService(worker);
}

extern "C" {

TAVREL_API void TAVREL_CDECL RegisterSelectPxeCallback(SelectPxeServerProc selectPxeServer,
                                                       SelectMirrorServerToDBProc selectMirrorServerToDB) {
    g_HostHooks.selectPxeServer = selectPxeServer;
    g_HostHooks.selectMirrorServerToDB = selectMirrorServerToDB;
}

TAVREL_API void TAVREL_CDECL RegisterSelectBootFileCallback(SelectBootFileProc selectBootFile) {
    g_HostHooks.selectBootFile = selectBootFile;
}

TAVREL_API void TAVREL_CDECL RegisterSelectBootFileCallbackEx(SelectBootFileProcEx selectBootFile) {
    g_HostHooks.selectBootFileEx = selectBootFile;
}

TAVREL_API void TAVREL_CDECL RegisterRenderTftpFileCallback(RenderTftpFileProc render) { SetTftpRenderProc(render); }

TAVREL_API void TAVREL_CDECL RegisterBootEventCallback(BootEventProc onBootEvent) {
    SetBootEventObserver(onBootEvent);
}

TAVREL_API void TAVREL_CDECL RegisterBootEventCallbackV6(BootEventProcV6 onBootEvent) {
    SetBootEventObserverV6(onBootEvent);
}

TAVREL_API void TAVREL_CDECL RegisterBootEventCallbackEx(BootEventProcEx onBootEvent) {
    SetBootEventObserverEx(onBootEvent);
}

TAVREL_API int TAVREL_CDECL StartPXEV6(const TeskPxeServerV6Struct *lpServer, const TeskSubNetV6Struct *lpSubNet,
                                       int nSubNetLen, const TeskStaticDhcpV6Struct *lpStatic, int nStaticLen) {
    LogInit();
    if (!g_HostHooks.selectPxeServer.load() || !g_HostHooks.selectMirrorServerToDB.load()) {
        LogWrite(LOG_ERROR, "RegisterSelectPxeCallback  error ---%s----%d", kSourceName, 45);
        return -11;
    }
    StartSocketsAndEvents();
    return StartPxeV6Services(lpServer, lpSubNet, nSubNetLen, lpStatic, nStaticLen);
}

TAVREL_API int TAVREL_CDECL StartPXE(TeskPxeServerStruct *IN_lpTeskPxeServerStruct, TeskSubNetStruct *lpSubNet,
                                     int nSubNetLen, TeskStaticDhcpStruct *lpStaticDhcp, int nStaticDhcpLen) {
    LogInit();
    if (!g_HostHooks.selectPxeServer.load() || !g_HostHooks.selectMirrorServerToDB.load()) {
        LogWrite(LOG_ERROR, "RegisterSelectPxeCallback  error ---%s----%d", kSourceName, 45);
        return -11;
    }
    if (!IN_lpTeskPxeServerStruct) {
        LogWriteText("StartPXE in has NULL");
        return -1;
    }
    StartSocketsAndEvents();

    if (!MyDhcpServer) {
        MyDhcpServer = TeskDhcpServer::Create(g_HostHooks);
        if (MyDhcpServer->StartServer(IN_lpTeskPxeServerStruct, lpSubNet, nSubNetLen, lpStaticDhcp, nStaticDhcpLen) !=
            0) {
            LogWriteText("MyDhcpServer->StartServer error !");
            DropService(MyDhcpServer);
            return -2;
        }
    }
    SetIpv4Records(IN_lpTeskPxeServerStruct);
    if (MyTftpServer) return 0;
    int nWorkers = TeskTftpServer::WorkerCount();
    MyTftpServer = TeskTftpServer::Create(0, nWorkers);
    if (MyTftpServer->StartServer(IN_lpTeskPxeServerStruct) != 0) {
        LogWriteText("MyTftpServer->StartServer error !");
        DropService(MyTftpServer);
        return -3;
    }
    StartExtraTftpWorkers(IN_lpTeskPxeServerStruct, nWorkers);
    return 0;
}

TAVREL_API int TAVREL_CDECL RefreshPXE(TeskPxeServerStruct *IN_lpTeskPxeServerStruct, TeskSubNetStruct *lpSubNet,
                                       int nSubNetLen, TeskStaticDhcpStruct *lpStaticDhcp, int nStaticDhcpLen) {
    if (!IN_lpTeskPxeServerStruct) {
        LogWriteText("RefreshPXE IN_lpTeskPxeServerStruct == NULL");
        return -1;
    }
    if (MyDhcpServer) MyDhcpServer->ApplyConfig(IN_lpTeskPxeServerStruct, lpSubNet, nSubNetLen, lpStaticDhcp, nStaticDhcpLen);
    return 0;
}

TAVREL_API int TAVREL_CDECL StopPXE(void) {
    if (MyDhcpServer) DropService(MyDhcpServer);
    StopExtraTftpWorkers();
    if (MyTftpServer) DropService(MyTftpServer);
    StopPxeV6Services();
    SetIpv4Records(nullptr);
    // After the services: the host sees every event they emitted.
    StopBootEventDelivery();
    if (g_bSocketsStarted) platform::SocketsCleanup();
    g_bSocketsStarted = false;
    return 0;
}

}  // extern "C"
