#include "platform/posix/Objects.h"

#include <errno.h>

#include <mutex>
#include <unordered_set>

namespace platform::posix {
namespace {

// Handles are the records' addresses, checked against this table before use,
// so a stale or made-up handle fails instead of touching freed memory.
// Leaked on purpose: detached threads may still close handles while the
// process runs its static destructors.
struct HandleTable {
    std::mutex mutex;
    std::unordered_set<Object*> open;
};
HandleTable& Table() {
    static HandleTable* table = new HandleTable;
    return *table;
}

thread_local std::int32_t lastError = 0;

}  // namespace

void SetLastError(std::int32_t code) { lastError = code; }

Handle Publish(Object* object) {
    HandleTable& table = Table();
    std::lock_guard<std::mutex> lock(table.mutex);
    table.open.insert(object);
    return object;
}

Object* Acquire(Handle handle) {
    auto* object = static_cast<Object*>(handle);
    HandleTable& table = Table();
    std::lock_guard<std::mutex> lock(table.mutex);
    if (!IsValid(handle) || table.open.count(object) == 0) {
        SetLastError(EBADF);
        return nullptr;
    }
    object->references.fetch_add(1);
    return object;
}

void Release(Object* object) {
    if (object->references.fetch_sub(1) == 1) delete object;
}

}  // namespace platform::posix

namespace platform {

bool CloseHandle(Handle object) {
    auto* record = static_cast<posix::Object*>(object);
    {
        posix::HandleTable& table = posix::Table();
        std::lock_guard<std::mutex> lock(table.mutex);
        if (!IsValid(object) || table.open.erase(record) == 0) {
            posix::SetLastError(EBADF);
            return false;
        }
    }
    posix::Release(record);
    return true;
}

std::uint32_t WaitForObject(Handle object, std::uint32_t milliseconds) {
    posix::Object* record = posix::Acquire(object);
    if (record == nullptr) return kWaitFailed;
    const std::uint32_t result = record->Wait(milliseconds);
    posix::Release(record);
    return result;
}

std::int32_t LastError() { return posix::lastError; }

}  // namespace platform
