#include "platform/mapped_file.h"

#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace kvr::platform {
namespace {

// File systems whose mappings may not see another client's writes, or whose
// pages may vanish under a mapping: their files are read through pread.
constexpr long kNfsMagic = 0x6969;
constexpr long kSmbMagic = 0x517B;
constexpr long kCifsMagic = static_cast<long>(0xFF534D42);
constexpr long kSmb2Magic = static_cast<long>(0xFE534D42);
constexpr long kFuseMagic = 0x65735546;
constexpr long kNinePMagic = 0x01021997;
constexpr long kCephMagic = 0x00C36400;

bool keeps_mappings_coherent(long type) {
    switch (type) {
        case kNfsMagic:
        case kSmbMagic:
        case kCifsMagic:
        case kSmb2Magic:
        case kFuseMagic:
        case kNinePMagic:
        case kCephMagic:
            return false;
        default:
            return true;
    }
}

// 1 mapped, 0 not, -1 not yet decided: the environment variable
// KVR_FILE_MAPPINGS=off turns mappings off for the whole process (a file
// system that keeps them coherent but where an operator does not want
// them, or a check of the pread path); set_file_mappings overrides it.
std::atomic<int> mappings_enabled{-1};

bool mappings_wanted() noexcept {
    int state = mappings_enabled.load(std::memory_order_relaxed);
    if (state < 0) {
        const char* setting = std::getenv("KVR_FILE_MAPPINGS");
        state = setting != nullptr && std::strcmp(setting, "off") == 0 ? 0 : 1;
        mappings_enabled.store(state, std::memory_order_relaxed);
    }
    return state == 1;
}

// The copy in progress on this thread, if any: the bytes it reads and where
// to go on when one of them faults.
struct GuardedCopy {
    sigjmp_buf resume;
    const unsigned char* from;
    const unsigned char* to;
};
__attribute__((tls_model("initial-exec"))) thread_local GuardedCopy* guarded_copy = nullptr;

struct sigaction previous_sigbus;
std::once_flag sigbus_handler_installed;

}  // namespace

// The process's mappings, for the SIGBUS handler to find one by an address
// without a lock: a fixed table whose entries are claimed and released
// with atomic operations.
struct MappingRecord {
    std::atomic<std::uintptr_t> from{0};  // 0: a free entry
    std::atomic<std::uintptr_t> to{0};
    std::atomic<bool> healed{false};  // a page was cut short under a view
};

namespace {

constexpr int kMappingRecords = 4096;
MappingRecord mapping_records[kMappingRecords];

MappingRecord* claim_record(std::uintptr_t from, std::uintptr_t to) {
    for (MappingRecord& record : mapping_records) {
        std::uintptr_t free = 0;
        if (record.from.load(std::memory_order_relaxed) == 0 &&
            record.from.compare_exchange_strong(free, from)) {
            record.healed.store(false);
            record.to.store(to);
            return &record;
        }
    }
    return nullptr;
}

// A fault in a mapping of ours outside a guarded copy: a reader looking at
// bytes of a file cut short behind its back. The page becomes a page of
// zeros (the reader's checks then find a damaged page), and the mapping
// serves no more reads.
bool heal_fault(const void* address) {
    const auto at = reinterpret_cast<std::uintptr_t>(address);
    for (MappingRecord& record : mapping_records) {
        const std::uintptr_t from = record.from.load();
        if (from == 0 || at < from || at >= record.to.load())
            continue;
        const std::uintptr_t page_size = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
        void* page = reinterpret_cast<void*>(at & ~(page_size - 1));
        if (::mmap(page, page_size, PROT_READ, MAP_FIXED | MAP_PRIVATE | MAP_ANONYMOUS, -1, 0) ==
            MAP_FAILED)
            return false;
        record.healed.store(true);
        return true;
    }
    return false;
}

void on_sigbus(int signal, siginfo_t* info, void* context) {
    GuardedCopy* copy = guarded_copy;
    if (copy != nullptr && info != nullptr) {
        const auto* at = static_cast<const unsigned char*>(info->si_addr);
        if (at >= copy->from && at < copy->to) {
            guarded_copy = nullptr;
            siglongjmp(copy->resume, 1);
        }
    }
    if (info != nullptr && heal_fault(info->si_addr))
        return;  // the access runs again, on zeros
    // Not a guarded copy's fault: what would have happened without us.
    if ((previous_sigbus.sa_flags & SA_SIGINFO) != 0) {
        if (previous_sigbus.sa_sigaction != nullptr)
            previous_sigbus.sa_sigaction(signal, info, context);
        return;
    }
    if (previous_sigbus.sa_handler == SIG_DFL || previous_sigbus.sa_handler == SIG_IGN) {
        // A fault cannot be ignored: the default action, as the faulting
        // access runs again on return.
        ::signal(SIGBUS, SIG_DFL);
        return;
    }
    previous_sigbus.sa_handler(signal);
}

void install_sigbus_handler() {
    struct sigaction action {};
    action.sa_sigaction = on_sigbus;
    sigemptyset(&action.sa_mask);
    // SA_NODEFER: leaving the handler by siglongjmp (which keeps the signal
    // mask as it is) must not leave SIGBUS blocked.
    action.sa_flags = SA_SIGINFO | SA_NODEFER | SA_ONSTACK;
    ::sigaction(SIGBUS, &action, &previous_sigbus);
}

}  // namespace

void map_file(int fd, bool writable, FileMapping* mapping) noexcept {
    *mapping = FileMapping{};
    if (sizeof(void*) < 8 || !mappings_wanted())
        return;
    struct statfs file_system {};
    if (::fstatfs(fd, &file_system) != 0 ||
        !keeps_mappings_coherent(static_cast<long>(file_system.f_type)))
        return;
    void* base =
        ::mmap(nullptr, kMappingSpan, PROT_READ | (writable ? PROT_WRITE : 0), MAP_SHARED, fd, 0);
    if (base == MAP_FAILED)
        return;
    const auto from = reinterpret_cast<std::uintptr_t>(base);
    MappingRecord* record = claim_record(from, from + kMappingSpan);
    if (record == nullptr) {
        ::munmap(base, kMappingSpan);  // more mappings than the table holds: pread
        return;
    }
    std::call_once(sigbus_handler_installed, install_sigbus_handler);
    mapping->base = static_cast<unsigned char*>(base);
    mapping->span = kMappingSpan;
    mapping->writable = writable;
    mapping->record = record;
}

void unmap_file(FileMapping* mapping) noexcept {
    if (mapping->base != nullptr) {
        ::munmap(mapping->base, mapping->span);
        mapping->record->to.store(0);
        mapping->record->from.store(0);
    }
    *mapping = FileMapping{};
}

namespace {

bool mapped(const FileMapping& mapping, std::uint64_t offset, std::size_t count) {
    return mapping.base != nullptr && offset <= mapping.span && count <= mapping.span - offset &&
           !mapping.record->healed.load(std::memory_order_relaxed);
}

// Copies between `mapped_bytes` (in the mapping) and `other` under the
// guard; false when a mapped page faulted.
bool guarded_memcpy(unsigned char* mapped_bytes, std::size_t count, void* to, const void* from) {
    GuardedCopy copy;
    copy.from = mapped_bytes;
    copy.to = mapped_bytes + count;
    // sigsetjmp without the signal mask: no system call.
    if (sigsetjmp(copy.resume, 0) != 0)
        return false;
    guarded_copy = &copy;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    std::memcpy(to, from, count);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    guarded_copy = nullptr;
    return true;
}

}  // namespace

bool copy_from_mapping(const FileMapping& mapping, std::uint64_t offset, void* buffer,
                       std::size_t count) noexcept {
    if (!mapped(mapping, offset, count))
        return false;
    unsigned char* at = mapping.base + offset;
    return guarded_memcpy(at, count, buffer, at);
}

const unsigned char* view_of_mapping(const FileMapping& mapping, std::uint64_t offset,
                                     std::size_t count) noexcept {
    return mapped(mapping, offset, count) ? mapping.base + offset : nullptr;
}

bool copy_to_mapping(const FileMapping& mapping, std::uint64_t offset, const void* buffer,
                     std::size_t count) noexcept {
    if (!mapping.writable || !mapped(mapping, offset, count))
        return false;
    unsigned char* at = mapping.base + offset;
    return guarded_memcpy(at, count, at, buffer);
}

void set_file_mappings(bool on) noexcept {
    mappings_enabled.store(on ? 1 : 0, std::memory_order_relaxed);
}

bool file_mappings_on() noexcept {
    return mappings_wanted();
}

}  // namespace kvr::platform
