#include "host/app/library_v6.h"

#include <dlfcn.h>

const LibraryV6 &FindLibraryV6() {
    static const LibraryV6 found = [] {
        LibraryV6 library;
        library.lpStart = reinterpret_cast<decltype(&StartPXEV6)>(dlsym(RTLD_DEFAULT, "StartPXEV6"));
        library.lpRegister =
            reinterpret_cast<decltype(&RegisterBootEventCallbackV6)>(dlsym(RTLD_DEFAULT, "RegisterBootEventCallbackV6"));
        library.lpRegisterEx =
            reinterpret_cast<decltype(&RegisterBootEventCallbackEx)>(dlsym(RTLD_DEFAULT, "RegisterBootEventCallbackEx"));
        return library;
    }();
    return found;
}

const LibraryIdentity &FindLibraryIdentity() {
    static const LibraryIdentity found = [] {
        LibraryIdentity library;
        library.lpRegisterChoice = reinterpret_cast<decltype(&RegisterSelectBootFileCallbackEx)>(
            dlsym(RTLD_DEFAULT, "RegisterSelectBootFileCallbackEx"));
        library.lpRegisterRender = reinterpret_cast<decltype(&RegisterRenderTftpFileCallback)>(
            dlsym(RTLD_DEFAULT, "RegisterRenderTftpFileCallback"));
        return library;
    }();
    return found;
}
