#include <errno.h>

#include "platform/posix/Objects.h"

namespace platform::posix {
namespace {

struct SemaphoreObject : Object {
    SemaphoreObject(std::int32_t initial, std::int32_t maximum_)
        : Object(Kind::Semaphore), count(initial), maximum(maximum_) {}

    std::uint32_t Wait(std::uint32_t milliseconds) override {
        std::unique_lock<std::mutex> lock(mutex);
        if (!WaitFor(changed, lock, milliseconds, [this] { return count > 0; })) return kWaitTimeout;
        --count;
        return kWaitObject0;
    }

    std::mutex mutex;
    std::condition_variable changed;
    std::int32_t count;
    const std::int32_t maximum;
};

}  // namespace
}  // namespace platform::posix

namespace platform {

// `name` is ignored: POSIX has no namespace of kernel objects shared with
// other processes that would match Windows', and the library only creates
// unnamed semaphores, so every call makes a new, private semaphore.
Handle CreateSemaphore(std::int32_t initial, std::int32_t maximum, const char* /*name*/) {
    if (maximum <= 0 || initial < 0 || initial > maximum) {
        posix::SetLastError(EINVAL);
        return nullptr;
    }
    return posix::Publish(new posix::SemaphoreObject(initial, maximum));
}

bool ReleaseSemaphore(Handle semaphore) {
    posix::Object* object = posix::Acquire(semaphore);
    if (object == nullptr) return false;
    bool released = false;
    if (object->kind != posix::Kind::Semaphore) {
        posix::SetLastError(EBADF);
    } else {
        auto& record = static_cast<posix::SemaphoreObject&>(*object);
        std::lock_guard<std::mutex> lock(record.mutex);
        if (record.count == record.maximum) {
            posix::SetLastError(EOVERFLOW);
        } else {
            ++record.count;
            record.changed.notify_one();
            released = true;
        }
    }
    posix::Release(object);
    return released;
}

}  // namespace platform
