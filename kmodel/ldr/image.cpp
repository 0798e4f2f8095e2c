// Driver images. A kernel image is a shared object loaded privately, so that every load starts
// from the image's initial data as a fresh load of a driver does; unloading must really unmap it,
// and the range it occupied stays reserved (see unloaded_images.cpp).
#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "internal/ldr.h"
#include "internal/verifier.h"
#include "kmodel/model.h"

struct km::Image {
    void* Handle;
    std::string Path;
};

namespace {

// How the dynamic loader names an import nothing provides.
constexpr const char* KmpUndefinedSymbol = "undefined symbol: ";

// Flags for the check that an image is (still) mapped, without loading it.
constexpr int KmpProbeFlags = RTLD_NOW | RTLD_NOLOAD;

bool KmpIsMapped(const std::string& path)
{
    void* handle = dlopen(path.c_str(), KmpProbeFlags);
    if (handle == nullptr) {
        return false;
    }
    dlclose(handle);
    return true;
}

// The address range of the loaded object whose load bias is `base`: its loadable segments,
// rounded out to pages.
struct KmpImageSpan {
    uintptr_t Base;
    uintptr_t Start = 0;
    uintptr_t End = 0;
};

int KmpFindSpan(struct dl_phdr_info* info, size_t, void* data)
{
    auto* span = static_cast<KmpImageSpan*>(data);
    if (info->dlpi_addr != span->Base) {
        return 0;
    }
    uintptr_t page = static_cast<uintptr_t>(getpagesize());
    span->Start = UINTPTR_MAX;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const auto& segment = info->dlpi_phdr[i];
        if (segment.p_type == PT_LOAD) {
            span->Start = std::min<uintptr_t>(span->Start, info->dlpi_addr + segment.p_vaddr);
            span->End = std::max<uintptr_t>(span->End, info->dlpi_addr + segment.p_vaddr + segment.p_memsz);
        }
    }
    span->Start &= ~(page - 1);
    span->End = (span->End + page - 1) & ~(page - 1);
    return 1;
}

}  // namespace

void KmLdrRangeAt(uintptr_t base, uintptr_t* start, uintptr_t* end)
{
    KmpImageSpan span{base};
    dl_iterate_phdr(KmpFindSpan, &span);
    *start = span.Start;
    *end = span.End;
}

namespace {

// The range of the image dlopen gave `handle` for.
void KmpHandleRange(void* handle, uintptr_t* start, uintptr_t* end)
{
    struct link_map* map = nullptr;
    *start = 0;
    *end = 0;
    if (dlinfo(handle, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr) {
        KmLdrRangeAt(map->l_addr, start, end);
    }
}

}  // namespace

bool KmLdrIsLoaded(const std::string& path) { return KmpIsMapped(path); }

void KmLdrMappedRange(const km::Image* image, uintptr_t* start, uintptr_t* end)
{
    KmpHandleRange(image->Handle, start, end);
}

void km::ImageRange(const Image* image, uintptr_t* start, uintptr_t* end) { KmLdrMappedRange(image, start, end); }

km::Image* km::LoadImage(const std::string& path, std::string* error)
{
    if (KmpIsMapped(path)) {
        if (error != nullptr) {
            *error = path + " is already loaded: a second load would share its data";
        }
        return nullptr;
    }
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        if (error != nullptr) {
            const char* text = dlerror();
            std::string reason = text != nullptr ? text : path + " could not be loaded";
            // As Windows' loader refuses a driver with an unresolved import, naming it.
            size_t unresolved = reason.find(KmpUndefinedSymbol);
            if (unresolved != std::string::npos) {
                std::string routine = reason.substr(unresolved + strlen(KmpUndefinedSymbol));
                routine = routine.substr(0, routine.find_first_of(" \t\n("));
                reason = "image " + path.substr(path.find_last_of('/') + 1) + " imports " + routine +
                         ", which the kernel does not export: not loaded";
            }
            *error = reason;
        }
        return nullptr;
    }
    return new Image{handle, path};
}

void* km::ImageSymbol(Image* image, const char* name) { return dlsym(image->Handle, name); }

void km::UnloadImage(Image* image)
{
    std::string path = image->Path;
    void* handle = image->Handle;
    delete image;
    uintptr_t start = 0;
    uintptr_t end = 0;
    KmpHandleRange(handle, &start, &end);
    KmLockOrderForget(reinterpret_cast<const void*>(start), end - start);
    if (dlclose(handle) != 0) {
        const char* reason = dlerror();
        KmBugCheck(DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS, (ULONG_PTR)handle, 0, 0, 0,
                   "image %s could not be unloaded: %s", path.c_str(), reason != nullptr ? reason : "unknown");
    }
    if (KmpIsMapped(path)) {
        KmBugCheck(DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS, (ULONG_PTR)handle, 0, 0, 0,
                   "image %s is still mapped after unloading (a unique or node-delete symbol keeps it)",
                   path.c_str());
    }
    if (end > start) {
        KmLdrReserveUnloadedRange(start, end, path.substr(path.find_last_of('/') + 1));
    }
}

std::string km::ImageDirectory()
{
    const char* directory = getenv("KM_IMAGE_DIR");
    if (directory != nullptr && directory[0] != 0) {
        return directory;
    }
    return KM_DEFAULT_IMAGE_DIR;
}
