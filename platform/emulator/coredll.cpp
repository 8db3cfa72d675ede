#include "platform/emulator/coredll.h"

#include <unicorn/unicorn.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "platform/device.h"
#include "platform/sim/services.h"
#include "platform/sim/text.h"
#include "platform/wince/pe_format.h"

namespace emulator {

namespace {

// No argument of a device call is a longer string; a longer one has lost
// its terminator.
constexpr uint32_t kLongestString = 0x8000;

// Handles as the device passes them: 32 bits. The simulated device's roots
// are the platform's values sign-extended, as on a 64-bit host.
HKEY KeyOf(uint32_t word)
{
    return reinterpret_cast<HKEY>(static_cast<uintptr_t>(static_cast<intptr_t>(static_cast<int32_t>(word))));
}

uint32_t WordOf(const void* handle)
{
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(handle));
}

HWND WindowOf(uint32_t word)
{
    return reinterpret_cast<HWND>(static_cast<uintptr_t>(word));
}

}  // namespace

// ----------------------------------------------------------- the heap --

namespace {

uint64_t BlockSize(uint32_t bytes) { return (uint64_t{bytes} + 7) / 8 * 8; }  // 8-byte aligned

uint64_t PagesFor(uint64_t size) { return size ? pe::PageAlign(size) : pe::kWincePage; }

// What the guard bytes between a block's end and its rounding hold.
constexpr uint8_t kGuardByte = 0xFD;

}  // namespace

ProcessHeap::ProcessHeap(ArmMachine& machine, uint32_t start, uint32_t end) : machine_(machine)
{
    if (start < end) free_[start] = end - start;
}

uint32_t ProcessHeap::Allocate(uint32_t bytes)
{
    const uint64_t size = BlockSize(bytes), pages = PagesFor(size);
    const uint64_t span = pages + pe::kWincePage;  // and an unmapped page after it
    auto range = std::find_if(free_.begin(), free_.end(), [span](const auto& r) { return r.second >= span; });
    if (range == free_.end()) return 0;
    const uint32_t start = range->first, left = static_cast<uint32_t>(range->second - span);
    if (!machine_.Map(start, static_cast<uint32_t>(pages), kRead | kWrite)) return 0;
    free_.erase(range);
    if (left) free_[static_cast<uint32_t>(start + span)] = left;
    const uint32_t block = static_cast<uint32_t>(start + pages - size);
    blocks_[block] = {start, static_cast<uint32_t>(pages), bytes, nullptr};
    const std::vector<uint8_t> guard(size - bytes, kGuardByte);
    machine_.Write(block + bytes, guard.data(), static_cast<uint32_t>(guard.size()));
    return block;
}

void ProcessHeap::Attach(uint32_t block, void* deviceBlock)
{
    auto it = blocks_.find(block);
    if (it != blocks_.end()) it->second.deviceBlock = deviceBlock;
}

void* ProcessHeap::DeviceBlock(uint32_t block) const
{
    auto it = blocks_.find(block);
    return it == blocks_.end() ? nullptr : it->second.deviceBlock;
}

void ProcessHeap::Release(uint32_t block)
{
    auto it = blocks_.find(block);
    if (it == blocks_.end()) return;
    uint32_t start = it->second.pages, size = it->second.pagesSize + pe::kWincePage;
    machine_.Unmap(it->second.pages, it->second.pagesSize);
    blocks_.erase(it);
    // Joined with the free ranges on either side.
    auto next = free_.find(start + size);
    if (next != free_.end()) {
        size += next->second;
        free_.erase(next);
    }
    auto before = free_.lower_bound(start);
    if (before != free_.begin() && std::prev(before)->first + std::prev(before)->second == start) {
        std::prev(before)->second += size;
        return;
    }
    free_[start] = size;
}

std::string ProcessHeap::Overrun(uint32_t block) const
{
    auto it = blocks_.find(block);
    if (it == blocks_.end()) return "";
    const uint32_t bytes = it->second.bytes;
    std::vector<uint8_t> guard(BlockSize(bytes) - bytes);
    machine_.Read(block + bytes, guard.data(), static_cast<uint32_t>(guard.size()));
    for (size_t i = 0; i < guard.size(); ++i)
        if (guard[i] != kGuardByte)
            return "the heap block at " + pe::Hex(block) + " (" + std::to_string(bytes) +
                   " bytes) was written past its end, at " + pe::Hex(block + bytes + static_cast<uint32_t>(i));
    return "";
}

std::string ProcessHeap::AnyOverrun() const
{
    for (const auto& [block, ignored] : blocks_) {
        std::string why = Overrun(block);
        if (!why.empty()) return why;
    }
    return "";
}

// ----------------------------------------------------------- the frame --

CallFrame::CallFrame(ArmMachine& machine_, ProcessHeap& heap_, CopyBudget& copies, const char* name)
    : machine(machine_), heap(heap_), budget_(copies), name_(name)
{
}

bool CallFrame::Spend(uint64_t bytes)
{
    if (bytes > budget_.left) {
        Refuse("over the run's budget of " + std::to_string(budget_.total) +
               " bytes that calls may copy in and out");
        return false;
    }
    budget_.left -= bytes;
    return true;
}

void CallFrame::Fail(int index, const std::string& what)
{
    Refuse("argument " + std::to_string(index + 1) + ": " + what);
}

void CallFrame::Refuse(const std::string& why)
{
    if (fault_.empty()) fault_ = std::string(name_) + ", " + why;
}

uint32_t CallFrame::Arg(int index)
{
    if (index < 4) return machine.Reg(UC_ARM_REG_R0 + index);
    const uint32_t at = machine.Reg(UC_ARM_REG_SP) + 4 * (index - 4);
    uint32_t value = 0;
    if (!machine.Given(at, 4, kRead) || !machine.Read(at, &value, 4))
        Fail(index, "the stack at " + pe::Hex(at) + " is not memory the program was given");
    return value;
}

// Reads page by page up to the terminator: each page the program was given
// is checked once, and nothing past the terminator's page is touched.
const char16_t* CallFrame::String(int index)
{
    const uint32_t start = Arg(index);
    if (!start || Faulted()) return nullptr;
    std::string bytes;
    size_t scanned = 0;
    for (uint64_t at = start;;) {
        const uint64_t pageEnd = (at / pe::kWincePage + 1) * pe::kWincePage;
        const uint32_t size = static_cast<uint32_t>(pageEnd - at);
        if (at > UINT32_MAX || !machine.Given(static_cast<uint32_t>(at), size, kRead)) {
            Fail(index, "the string at " + pe::Hex(start) + " runs into memory the program was not given");
            return nullptr;
        }
        bytes.resize(bytes.size() + size);
        machine.Read(static_cast<uint32_t>(at), &bytes[bytes.size() - size], size);
        at = pageEnd;
        for (; scanned + 1 < bytes.size(); scanned += 2)
            if (!bytes[scanned] && !bytes[scanned + 1]) return Keep(index, start, bytes, scanned / 2);
        if (scanned / 2 > kLongestString) {
            Fail(index, "the string at " + pe::Hex(start) + " has no terminator");
            return nullptr;
        }
    }
}

const char16_t* CallFrame::Keep(int index, uint32_t start, const std::string& bytes, size_t length)
{
    if (length > kLongestString) {
        Fail(index, "the string at " + pe::Hex(start) + " has no terminator");
        return nullptr;
    }
    if (!Spend(2 * uint64_t{length} + 2)) return nullptr;
    std::u16string text(length, u'\0');
    for (size_t i = 0; i < length; ++i)
        text[i] = static_cast<char16_t>(static_cast<uint8_t>(bytes[2 * i]) | static_cast<uint8_t>(bytes[2 * i + 1]) << 8);
    strings_.push_back(std::move(text));
    return strings_.back().c_str();
}

void* CallFrame::Buffer(int index, uint64_t bytes)
{
    const uint32_t start = Arg(index);
    if (!start || Faulted()) return nullptr;
    if (bytes > UINT32_MAX || !machine.Given(start, static_cast<uint32_t>(bytes), kRead)) {
        Fail(index, "the " + std::to_string(bytes) + " bytes at " + pe::Hex(start) +
                        " are not memory the program was given");
        return nullptr;
    }
    if (!Spend(bytes)) return nullptr;
    Copy copy{start, std::vector<uint8_t>(bytes), {}};
    machine.Read(start, copy.before.data(), static_cast<uint32_t>(bytes));
    copy.host = copy.before;
    copy.host.push_back(0);  // never an empty vector: data() is a pointer to hand over
    copies_.push_back(std::move(copy));
    return copies_.back().host.data();
}

bool CallFrame::WriteBack()
{
    for (Copy& copy : copies_) {
        const size_t size = copy.before.size();
        size_t first = 0, last = size;
        while (first < size && copy.host[first] == copy.before[first]) ++first;
        while (last > first && copy.host[last - 1] == copy.before[last - 1]) --last;
        if (first == last) continue;
        const uint32_t at = copy.address + static_cast<uint32_t>(first);
        if (!machine.Given(at, static_cast<uint32_t>(last - first), kWrite)) {
            Refuse("the call wrote to " + pe::Hex(at) + ", which the program may not write");
            return false;
        }
        if (!Spend(last - first)) return false;
        machine.Write(at, copy.host.data() + first, static_cast<uint32_t>(last - first));
    }
    return true;
}

// ---------------------------------------------------------- the calls --
//
// Each reads its arguments in order, stops if the program handed over
// memory it was not given, and otherwise makes the simulated device's call.

namespace {

void ServeRegOpenKeyExW(CallFrame& c)
{
    const HKEY root = KeyOf(c.Arg(0));
    const char16_t* subKey = c.String(1);
    const DWORD options = c.Arg(2);
    const REGSAM access = c.Arg(3);
    uint32_t* out = c.Word(4);
    if (c.Faulted()) return;
    HKEY opened = out ? KeyOf(*out) : nullptr;
    c.result = static_cast<uint32_t>(RegOpenKeyExW(root, subKey, options, access, out ? &opened : nullptr));
    if (out) *out = WordOf(opened);
}

void ServeRegQueryValueExW(CallFrame& c)
{
    const HKEY key = KeyOf(c.Arg(0));
    const char16_t* name = c.String(1);
    const bool reserved = c.Arg(2) != 0;  // must be null; the device never reads through it
    DWORD* type = c.Word(3);
    DWORD* bytes = c.Word(5);
    LPBYTE data = static_cast<LPBYTE>(c.Buffer(4, bytes ? *bytes : 0));
    if (c.Faulted()) return;
    DWORD ignored = 0;
    c.result = static_cast<uint32_t>(RegQueryValueExW(key, name, reserved ? &ignored : nullptr, type,
                                                      data, bytes));
}

void ServeRegCloseKey(CallFrame& c)
{
    c.result = static_cast<uint32_t>(RegCloseKey(KeyOf(c.Arg(0))));
}

void ServeRegDeleteKeyW(CallFrame& c)
{
    const HKEY root = KeyOf(c.Arg(0));
    const char16_t* subKey = c.String(1);
    if (!c.Faulted()) c.result = static_cast<uint32_t>(RegDeleteKeyW(root, subKey));
}

void ServeSetFileAttributesW(CallFrame& c)
{
    const char16_t* path = c.String(0);
    const DWORD attributes = c.Arg(1);
    if (!c.Faulted()) c.result = SetFileAttributesW(path, attributes);
}

void ServeDeleteFileW(CallFrame& c)
{
    const char16_t* path = c.String(0);
    if (!c.Faulted()) c.result = DeleteFileW(path);
}

void ServeRemoveDirectoryW(CallFrame& c)
{
    const char16_t* path = c.String(0);
    if (!c.Faulted()) c.result = RemoveDirectoryW(path);
}

void ServeGetTempPathW(CallFrame& c)
{
    const DWORD size = c.Arg(0);
    LPWSTR buffer = static_cast<LPWSTR>(c.Buffer(1, uint64_t{size} * sizeof(WCHAR)));
    if (!c.Faulted()) c.result = GetTempPathW(size, buffer);
}

void ServeSHGetSpecialFolderPath(CallFrame& c)
{
    const HWND owner = WindowOf(c.Arg(0));
    // The caller's buffer holds MAX_PATH characters: that is the contract.
    LPWSTR buffer = static_cast<LPWSTR>(c.Buffer(1, MAX_PATH * sizeof(WCHAR)));
    const int csidl = static_cast<int>(c.Arg(2));
    const BOOL create = c.Arg(3);
    if (!c.Faulted()) c.result = SHGetSpecialFolderPath(owner, buffer, csidl, create);
}

void ServeGetLastError(CallFrame& c)
{
    c.result = GetLastError();
}

void ServeSetLastError(CallFrame& c)
{
    SetLastError(c.Arg(0));
}

void ServeGetForegroundWindow(CallFrame& c)
{
    c.result = WordOf(GetForegroundWindow());
}

void ServeMessageBoxW(CallFrame& c)
{
    const HWND owner = WindowOf(c.Arg(0));
    const char16_t* text = c.String(1);
    const char16_t* caption = c.String(2);
    const UINT flags = c.Arg(3);
    if (!c.Faulted()) c.result = static_cast<uint32_t>(MessageBoxW(owner, text, caption, flags));
}

// The process heap's handle as the program sees it. The simulated device
// has one heap and never looks at the handle.
constexpr uint32_t kProcessHeapHandle = 0x00000E47;

void ServeGetProcessHeap(CallFrame& c)
{
    c.result = kProcessHeapHandle;
}

// The device's HeapAlloc, failing as an injected fault makes it fail: the
// device records the call (its trace, its count, what the fault plan makes
// of it) and allocates nothing.
void FailHeapAllocOnDevice(DWORD flags, DWORD bytes)
{
    sim::DeviceSession& session = sim::DeviceSession::Active();
    const sim::FaultPlan plan = session.faults;
    session.faults = [&plan](const std::string& op, int index, int kindIndex, const std::string& argument) {
        if (plan) plan(op, index, kindIndex, argument);
        return std::optional<sim::Fault>(sim::Fault{});
    };
    HeapAlloc(GetProcessHeap(), flags, bytes);
    session.faults = plan;
}

// The emulated heap places the block first: a request it has no room for
// fails as COREDLL's does, NULL with ERROR_NOT_ENOUGH_MEMORY, and the
// program decides; the device never allocates what could not be mapped.
void ServeHeapAlloc(CallFrame& c)
{
    const DWORD flags = c.Arg(1);
    const DWORD bytes = c.Arg(2);
    const uint32_t block = c.heap.Allocate(bytes);
    if (!block) {
        FailHeapAllocOnDevice(flags, bytes);
        sim::DeviceSession::Active().lastError = ERROR_NOT_ENOUGH_MEMORY;
        return;
    }
    void* deviceBlock = HeapAlloc(GetProcessHeap(), flags, bytes);
    if (!deviceBlock) {
        c.heap.Release(block);
        return;
    }
    c.heap.Attach(block, deviceBlock);
    // The block starts as the device's does (a debug heap's fill, never zeros by luck).
    c.machine.Write(block, deviceBlock, bytes);
    c.result = block;
}

void ServeHeapFree(CallFrame& c)
{
    const DWORD flags = c.Arg(1);
    const uint32_t block = c.Arg(2);
    const std::string overrun = c.heap.Overrun(block);
    if (!overrun.empty()) {
        c.Refuse(overrun);
        return;
    }
    void* deviceBlock = c.heap.DeviceBlock(block);
    // A block the heap never gave goes to the device as it is, which
    // counts it as a bad release.
    BOOL freed = HeapFree(GetProcessHeap(), flags,
                          deviceBlock ? deviceBlock : reinterpret_cast<LPVOID>(uintptr_t{block}));
    if (freed && deviceBlock) c.heap.Release(block);
    c.result = freed;
}

void ServeKernelIoControl(CallFrame& c)
{
    const DWORD code = c.Arg(0);
    const DWORD inSize = c.Arg(2);
    void* in = c.Buffer(1, inSize);
    const DWORD outSize = c.Arg(4);
    void* out = c.Buffer(3, outSize);
    DWORD* returned = c.Word(5);
    if (!c.Faulted()) c.result = KernelIoControl(code, in, inSize, out, outSize, returned);
}

struct Export {
    const char* name;
    ServeCall serve;
};

// Every device call, and nothing else: a call of the list without its
// Serve function does not compile.
#define TRQ_EXPORT(type, name, params) {#name, &Serve##name},
const Export kExports[] = {TRQ_DEVICE_CALLS(TRQ_EXPORT)};
#undef TRQ_EXPORT

}  // namespace

ServeCall FindExport(const std::string& name)
{
    for (const Export& e : kExports)
        if (name == e.name) return e.serve;
    return nullptr;
}

bool IsCoredll(const std::string& library)
{
    std::u16string name(library.begin(), library.end());
    return sim::EqualsIgnoreCase(name, u"COREDLL.dll");
}

}  // namespace emulator
