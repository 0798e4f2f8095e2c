// Driver images. A kernel image is a shared object loaded privately, so that every load starts
// from the image's initial data as a fresh load of a driver does; unloading must really unmap it.
#include <dlfcn.h>

#include <cstdlib>

#include "internal/verifier.h"
#include "kmodel/model.h"

struct km::Image {
    void* Handle;
    std::string Path;
};

namespace {

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

}  // namespace

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
            const char* reason = dlerror();
            *error = reason != nullptr ? reason : path + " could not be loaded";
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
}

std::string km::ImageDirectory()
{
    const char* directory = getenv("KM_IMAGE_DIR");
    if (directory != nullptr && directory[0] != 0) {
        return directory;
    }
    return KM_DEFAULT_IMAGE_DIR;
}
