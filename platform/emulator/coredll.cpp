#include "platform/emulator/coredll.h"

#include <unicorn/unicorn.h>

#include <cstdio>
#include <cstring>

#include "platform/device.h"
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

ProcessHeap::ProcessHeap(ArmMachine& machine, uint32_t start, uint32_t end)
    : machine_(machine), next_(start), end_(end)
{
}

namespace {

uint64_t BlockSize(uint32_t bytes) { return (uint64_t{bytes} + 7) / 8 * 8; }  // 8-byte aligned

uint64_t PagesFor(uint64_t size) { return size ? pe::PageAlign(size) : pe::kWincePage; }

}  // namespace

bool ProcessHeap::HasRoom(uint32_t bytes) const
{
    return next_ + PagesFor(BlockSize(bytes)) + pe::kWincePage <= end_;  // and the unmapped page after it
}

uint32_t ProcessHeap::Allocate(uint32_t bytes, void* deviceBlock)
{
    const uint32_t size = static_cast<uint32_t>(BlockSize(bytes));
    const uint32_t pages = static_cast<uint32_t>(PagesFor(size));
    if (!HasRoom(bytes) || !machine_.Map(next_, pages, kRead | kWrite)) return 0;
    const uint32_t block = next_ + pages - size;
    blocks_[block] = {next_, pages, deviceBlock};
    next_ += pages + pe::kWincePage;  // and an unmapped page after it
    return block;
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
    machine_.Unmap(it->second.pages, it->second.pagesSize);
    blocks_.erase(it);
}

// ----------------------------------------------------------- the frame --

CallFrame::CallFrame(ArmMachine& machine_, ProcessHeap& heap_, const char* name)
    : machine(machine_), heap(heap_), name_(name)
{
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

const char16_t* CallFrame::String(int index)
{
    const uint32_t start = Arg(index);
    if (!start || Faulted()) return nullptr;
    std::u16string text;
    for (uint32_t at = start;; at += 2) {
        char16_t c = 0;
        if (!machine.Given(at, 2, kRead) || !machine.Read(at, &c, 2)) {
            Fail(index, "the string at " + pe::Hex(start) + " runs into memory the program was not given");
            return nullptr;
        }
        if (!c) break;
        if (text.size() == kLongestString) {
            Fail(index, "the string at " + pe::Hex(start) + " has no terminator");
            return nullptr;
        }
        text.push_back(c);
    }
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

void ServeHeapAlloc(CallFrame& c)
{
    const DWORD flags = c.Arg(1);
    const DWORD bytes = c.Arg(2);
    // The emulated process's heap has less room than the device's books
    // assume: a request that it cannot hold ends the run rather than go on
    // otherwise than the simulated device would.
    if (!c.heap.HasRoom(bytes)) {
        c.Refuse("no room left in the emulated heap for " + std::to_string(bytes) + " bytes");
        return;
    }
    void* deviceBlock = HeapAlloc(GetProcessHeap(), flags, bytes);
    if (!deviceBlock) return;
    c.result = c.heap.Allocate(bytes, deviceBlock);
    if (!c.result) {
        c.Refuse("the emulator could not map a block of " + std::to_string(bytes) + " bytes");
        return;
    }
    // The block starts as the device's does (a debug heap's fill, never zeros by luck).
    c.machine.Write(c.result, deviceBlock, bytes);
}

void ServeHeapFree(CallFrame& c)
{
    const DWORD flags = c.Arg(1);
    const uint32_t block = c.Arg(2);
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
