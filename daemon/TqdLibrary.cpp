#include "daemon/TqdLibrary.h"

#include <dlfcn.h>
#include <link.h>

#include "host/ElfSection.h"

namespace tqd {

namespace {
const char kWhatToDo[] =
    "Build or install libtqrcgmgr.so, or name it with --library PATH or the Session/sTQDLIBRARY "
    "value of the configuration store.";
}

HandlerLibrary::~HandlerLibrary() {
    if (m_handle) dlclose(m_handle);
}

bool HandlerLibrary::open(const std::string& path, std::string* problem) {
    dlerror();
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* why = dlerror();
        *problem = "cannot load the request handler library " + path + ": " + (why ? why : "unknown error") +
                   ". " + kWhatToDo;
        return false;
    }
    dlerror();
    void* symbol = dlsym(handle, "rcgMgrHandler");
    const char* why = dlerror();
    if (!symbol || why) {
        *problem = "the library " + path + " has no rcgMgrHandler: " + (why ? why : "the symbol is null") +
                   ". " + kWhatToDo;
        dlclose(handle);
        return false;
    }
    if (m_handle) dlclose(m_handle);
    m_handle = handle;
    // POSIX guarantees that a data pointer from dlsym converts to a function
    // pointer.
    m_handler = reinterpret_cast<RcgMgrHandlerFunction>(symbol);
    m_reapply = reinterpret_cast<RcgMgrReapplyFunction>(dlsym(handle, "rcgMgrReapplyCaps"));
    return true;
}

namespace {
// A bare file name is found the way the loader finds it.
std::string LoadedPathOf(const std::string& path) {
    if (path.find('/') != std::string::npos) return path;
    void* handle = dlopen(path.c_str(), RTLD_LAZY | RTLD_LOCAL);
    if (!handle) return path;
    std::string found = path;
    link_map* map = nullptr;
    if (dlinfo(handle, RTLD_DI_LINKMAP, &map) == 0 && map && map->l_name && *map->l_name) {
        found = map->l_name;
    }
    dlclose(handle);
    return found;
}
}  // namespace

bool ReadLibraryVersion(const std::string& path, std::string* line, std::string* problem) {
    std::string contents;
    if (!ReadElfSection(LoadedPathOf(path), "TqVersion", &contents)) {
        *problem = "cannot read the version of " + path +
                   ": not a readable 64-bit ELF file with a TqVersion section. " + kWhatToDo;
        return false;
    }
    *line = contents;
    return true;
}

}  // namespace tqd
