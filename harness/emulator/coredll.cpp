#include "harness/emulator/coredll.h"

#include <unicorn/unicorn.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <tuple>
#include <type_traits>
#include <utility>

#include "device/call_names.h"
#include "device/device.h"
#include "formats/pe_format.h"
#include "formats/text.h"
#include "platform/sim/services.h"

namespace emulator {

namespace {

// No argument of a device call is a longer string; a longer one has lost
// its terminator.
constexpr uint32_t kLongestString = 0x8000;

}  // namespace

// ----------------------------------------------------------- the heap --

namespace {

uint64_t BlockSize(uint32_t bytes) { return pe::AlignUp<uint64_t>(bytes, 8); }  // 8-byte aligned

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

using device_calls::Kind;

CallFrame::CallFrame(ArmMachine& machine_, ProcessHeap& heap_, CopyBudget& copies, const device_calls::Row& call)
    : machine(machine_), heap(heap_), budget_(copies), call_(call)
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
    if (fault_.empty()) fault_ = std::string(call_.name) + ", " + why;
}

bool CallFrame::Marshal()
{
    const int count = static_cast<int>(call_.paramCount);
    args_.assign(static_cast<size_t>(count), Marshalled{});
    for (int i = 0; i < count && !Faulted(); ++i) Resolve(i);
    if (Faulted()) return false;
    // The counts the call takes were read as they were resolved.
    for (int i = 0; i < count; ++i) {
        const device_calls::Arg& kind = KindOf(i);
        const bool word = kind.kind == Kind::Value || kind.kind == Kind::Handle;
        words_[i] = word ? args_[i].word : reinterpret_cast<TraceWord>(args_[i].host);
    }
    return true;
}

TracedCall CallFrame::Returned(DWORD error)
{
    // The record writer reads what a HandleOut points to as a handle of the
    // host's width; the program's is a word of 32 bits.
    for (unsigned i = 0; i < call_.paramCount; ++i) {
        if (KindOf(static_cast<int>(i)).kind != Kind::HandleOut || !args_[i].host) continue;
        handlesOut_[i] = *static_cast<const uint32_t*>(args_[i].host);
        words_[i] = reinterpret_cast<TraceWord>(&handlesOut_[i]);
    }
    return TracedCall{&call_, words_, countsIn_, result, error};
}

// Reads one argument by its kind, once; a buffer first reads the argument
// that gives its size.
void CallFrame::Resolve(int index)
{
    Marshalled& arg = args_[index];
    if (arg.done) return;
    arg.done = true;
    arg.word = ReadWord(index);
    words_[index] = arg.word;
    const device_calls::Arg& kind = KindOf(index);
    if (Faulted() || !arg.word || kind.kind == Kind::Value || kind.kind == Kind::Handle) return;
    switch (kind.kind) {
    case Kind::StringIn:
        arg.host = const_cast<char16_t*>(String(index, arg.word));
        break;
    case Kind::Reserved:
        arg.host = &reserved_;
        break;
    case Kind::WordOut:
    case Kind::CountInOut:
    case Kind::HandleOut:
        arg.host = Buffer(index, arg.word, 4, true);
        if (kind.kind == Kind::CountInOut && arg.host) countsIn_[index] = *static_cast<const uint32_t*>(arg.host);
        break;
    case Kind::BufferIn:
    case Kind::BufferOut: {
        const uint64_t bytes = BufferBytes(kind);
        if (!Faulted()) arg.host = Buffer(index, arg.word, bytes, kind.kind == Kind::BufferOut);
        break;
    }
    default:
        break;
    }
}

uint32_t CallFrame::ReadWord(int index)
{
    if (index < 4) return machine.Reg(UC_ARM_REG_R0 + index);
    const uint32_t at = machine.Reg(UC_ARM_REG_SP) + 4 * (index - 4);
    uint32_t value = 0;
    if (!machine.Given(at, 4, kRead) || !machine.Read(at, &value, 4))
        Fail(index, "the stack at " + pe::Hex(at) + " is not memory the program was given");
    return value;
}

// A buffer's size in bytes: fixed by the call, or the value of its size
// argument, or the count that argument points to (0 when it is null),
// which is resolved first.
uint64_t CallFrame::BufferBytes(const device_calls::Arg& kind)
{
    if (kind.sizeArg >= 0) Resolve(kind.sizeArg);
    return device_calls::BufferBytes(kind, device_calls::SizeValue(call_, kind, words_, countsIn_));
}

// Reads page by page up to the terminator: each page the program was given
// is checked once, and nothing past the terminator's page is touched.
const char16_t* CallFrame::String(int index, uint32_t start)
{
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

// A host copy of the bytes at start. Memory the call may write (out) must
// be writable now, before the call, even where the call will leave it as
// it is: a device faults on the write, not on a change.
void* CallFrame::Buffer(int index, uint32_t start, uint64_t bytes, bool out)
{
    if (bytes > UINT32_MAX || !machine.Given(start, static_cast<uint32_t>(bytes), kRead)) {
        Fail(index, "the " + std::to_string(bytes) + " bytes at " + pe::Hex(start) +
                        " are not memory the program was given");
        return nullptr;
    }
    if (out && !machine.Given(start, static_cast<uint32_t>(bytes), kRead | kWrite)) {
        Fail(index, "the call may write the " + std::to_string(bytes) + " bytes at " + pe::Hex(start) +
                        ", which the program may not write");
        return nullptr;
    }
    if (!Spend(bytes)) return nullptr;
    Copy copy{start, std::vector<uint8_t>(bytes), {}, out};
    machine.Read(start, copy.before.data(), static_cast<uint32_t>(bytes));
    copy.host = copy.before;
    copy.host.push_back(0);  // never an empty vector: data() is a pointer to hand over
    copies_.push_back(std::move(copy));
    return copies_.back().host.data();
}

bool CallFrame::WriteBack()
{
    for (Copy& copy : copies_) {
        if (!copy.out) continue;
        const size_t size = copy.before.size();
        size_t first = 0, last = size;
        while (first < size && copy.host[first] == copy.before[first]) ++first;
        while (last > first && copy.host[last - 1] == copy.before[last - 1]) --last;
        if (first == last) continue;
        if (!Spend(last - first)) return false;
        const uint32_t at = copy.address + static_cast<uint32_t>(first);
        if (!machine.Write(at, copy.host.data() + first, static_cast<uint32_t>(last - first))) {
            Refuse("the call's write to " + pe::Hex(at) + " could not be made");
            return false;
        }
    }
    return true;
}

// ---------------------------------------------------------- the calls --
//
// A call is served from its declaration: the arguments CallFrame::Marshal
// read by their kinds become the C parameters of the simulated device's own
// function, by type, and what it returns becomes r0. A call whose service
// has something of its own says so below (Particular).

namespace {

// A handle as the host holds it. The simulated device's root keys are the
// platform's values sign-extended, as on a 64-bit host; other handles are
// addresses, zero-extended.
template <typename H>
H HandleOf(uint32_t word)
{
    if constexpr (std::is_same_v<H, HKEY>)
        return reinterpret_cast<HKEY>(static_cast<uintptr_t>(static_cast<intptr_t>(static_cast<int32_t>(word))));
    else
        return reinterpret_cast<H>(static_cast<uintptr_t>(word));
}

uint32_t WordOf(const void* handle)
{
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(handle));
}

// A parameter that points to where the call stores a handle (PHKEY).
template <typename P>
constexpr bool kPointsToHandle = std::is_pointer_v<P> && std::is_pointer_v<std::remove_pointer_t<P>>;

// Whether a parameter's C type can carry an argument of that kind.
template <typename P>
constexpr bool Fits(Kind kind)
{
    switch (kind) {
    case Kind::Value: return std::is_integral_v<P>;
    case Kind::Handle: return std::is_pointer_v<P> && !kPointsToHandle<P>;
    // A command line is an LPWSTR the call reads.
    case Kind::StringIn: return std::is_same_v<P, const char16_t*> || std::is_same_v<P, char16_t*>;
    case Kind::BufferIn:
    case Kind::BufferOut: return std::is_pointer_v<P> && !kPointsToHandle<P>;
    case Kind::WordOut:
    case Kind::CountInOut: return std::is_same_v<P, DWORD*>;
    // Never read or written, whatever it would point to.
    case Kind::Reserved: return std::is_pointer_v<P>;
    case Kind::HandleOut: return kPointsToHandle<P>;
    }
    return false;
}

// A buffer's size argument is a value or a count the call reads.
template <size_t N>
constexpr bool SizesFit(const std::array<device_calls::Arg, N>& kinds)
{
    for (const device_calls::Arg& arg : kinds) {
        const bool buffer = arg.kind == Kind::BufferIn || arg.kind == Kind::BufferOut;
        if (!buffer) continue;
        if (arg.sizeArg < 0 ? arg.kind != Kind::BufferOut || arg.fixedSize == 0 : arg.sizeArg >= static_cast<int>(N))
            return false;
        if (arg.sizeArg >= 0 && kinds[arg.sizeArg].kind != Kind::Value && kinds[arg.sizeArg].kind != Kind::CountInOut)
            return false;
    }
    return true;
}

// Whether the list's kinds of a call fit the parameters device.h declares.
template <typename R, typename... P, size_t N>
constexpr bool KindsFit(R (sim::DeviceSession::*)(P...), const std::array<device_calls::Arg, N>& kinds)
{
    if (sizeof...(P) != N) return false;
    size_t i = 0;
    bool fit = true;
    ((fit = fit && Fits<P>(kinds[i++].kind)), ...);
    return fit && SizesFit(kinds);
}

// One argument as the device's function takes it.
template <typename P, bool = kPointsToHandle<P>>
struct HostArg {
    P value;
    HostArg(const CallFrame& c, int index, Kind kind)
    {
        if constexpr (std::is_pointer_v<P>)
            value = kind == Kind::Handle ? HandleOf<P>(c.Arg(index)) : static_cast<P>(c.Host(index));
        else
            value = static_cast<P>(c.Arg(index));
    }
    P Get() { return value; }
    void Return() {}
};

// Where the call stores a handle: the host's handle, from the word the
// program's memory holds, is handed over and stored back as a word.
template <typename P>
struct HostArg<P, true> {
    using H = std::remove_pointer_t<P>;
    uint32_t* word;
    H handle;
    HostArg(const CallFrame& c, int index, Kind)
        : word(static_cast<uint32_t*>(c.Host(index))), handle(word ? HandleOf<H>(*word) : nullptr)
    {
    }
    P Get() { return word ? &handle : nullptr; }
    void Return()
    {
        if (word) *word = WordOf(handle);
    }
};

template <typename R>
uint32_t ResultWord(R result)
{
    if constexpr (std::is_pointer_v<R>)
        return WordOf(result);
    else
        return static_cast<uint32_t>(result);
}

// Whether a buffer of fixed size can be handed over as the parameter: a
// structure must be that size on the host too. PROCESS_INFORMATION, which
// holds handles, is 16 bytes on the device and more on a 64-bit host, so
// its call has a service of its own.
template <typename T, typename = void>
struct SizeIfComplete : std::integral_constant<size_t, 0> {};
template <typename T>
struct SizeIfComplete<T, std::void_t<decltype(sizeof(T))>> : std::integral_constant<size_t, sizeof(T)> {};

template <typename P>
constexpr bool FixedFits(const device_calls::Arg& kind)
{
    if (kind.kind != Kind::BufferOut || kind.sizeArg >= 0) return true;
    if constexpr (std::is_pointer_v<P> && std::is_class_v<std::remove_pointer_t<P>>)
        return SizeIfComplete<std::remove_pointer_t<P>>::value == device_calls::BufferBytes(kind, 0);
    else
        return true;
}

template <typename R, typename... P, size_t N>
constexpr bool ServableAsDeclared(R (sim::DeviceSession::*)(P...), const std::array<device_calls::Arg, N>& kinds)
{
    size_t i = 0;
    bool fit = true;
    ((fit = fit && FixedFits<P>(kinds[i++])), ...);
    return fit;
}

// Makes the device's call with the marshalled arguments.
template <typename R, typename... P, size_t N, size_t... I>
void Invoke(sim::DeviceSession& device, CallFrame& c, R (sim::DeviceSession::*call)(P...),
            const std::array<device_calls::Arg, N>& kinds, std::index_sequence<I...>)
{
    std::tuple<HostArg<P>...> args{HostArg<P>(c, static_cast<int>(I), kinds[I].kind)...};
    if constexpr (std::is_void_v<R>)
        (device.*call)(std::get<I>(args).Get()...);
    else
        c.result = ResultWord((device.*call)(std::get<I>(args).Get()...));
    (std::get<I>(args).Return(), ...);
}

template <auto Call, const auto& Kinds>
void ServeAsDeclared(sim::DeviceSession& device, CallFrame& c)
{
    Invoke(device, c, Call, Kinds, std::make_index_sequence<std::tuple_size_v<std::decay_t<decltype(Kinds)>>>{});
}

template <typename... A>
constexpr std::array<device_calls::Arg, sizeof...(A)> MakeArgs(A... args)
{
    return {args...};
}

// ------------------------------------------- what the heap's calls add --

// The process heap's handle as the program sees it. The simulated device
// has one heap and never looks at the handle.
constexpr uint32_t kProcessHeapHandle = 0x00000E47;

void ServeGetProcessHeap(sim::DeviceSession&, CallFrame& c)
{
    c.result = kProcessHeapHandle;
}

// The emulated heap places the block first: a request it has no room for
// fails as COREDLL's does, NULL with ERROR_NOT_ENOUGH_MEMORY, and the
// program decides; the device never allocates what could not be mapped.
void ServeHeapAlloc(sim::DeviceSession& device, CallFrame& c)
{
    const DWORD flags = c.Arg(1);
    const DWORD bytes = c.Arg(2);
    const uint32_t block = c.heap.Allocate(bytes);
    if (!block) {
        device.HeapAllocWithoutRoom(flags, bytes);
        return;
    }
    void* deviceBlock = device.HeapAlloc(device.GetProcessHeap(), flags, bytes);
    if (!deviceBlock) {
        c.heap.Release(block);
        return;
    }
    c.heap.Attach(block, deviceBlock);
    // The block starts as the device's does (a debug heap's fill, never zeros by luck).
    c.machine.Write(block, deviceBlock, bytes);
    c.result = block;
}

void ServeHeapFree(sim::DeviceSession& device, CallFrame& c)
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
    BOOL freed = device.HeapFree(device.GetProcessHeap(), flags,
                          deviceBlock ? deviceBlock : reinterpret_cast<LPVOID>(uintptr_t{block}));
    if (freed && deviceBlock) c.heap.Release(block);
    c.result = freed;
}

// ------------------------------------------- what CreateProcessW adds --

// The program's PROCESS_INFORMATION is the device's: two handles and two
// DWORDs in 16 bytes. The device fills the host's, and its words go to the
// program's.
void ServeCreateProcessW(sim::DeviceSession& device, CallFrame& c)
{
    const auto text = [&c](int i) { return static_cast<char16_t*>(c.Host(i)); };
    const auto reserved = [&c](int i) { return c.Host(i); };
    auto* information = static_cast<uint8_t*>(c.Host(9));
    PROCESS_INFORMATION host{};
    const BOOL started = device.CreateProcessW(
        text(0), text(1), static_cast<LPSECURITY_ATTRIBUTES>(reserved(2)),
        static_cast<LPSECURITY_ATTRIBUTES>(reserved(3)), static_cast<BOOL>(c.Arg(4)), c.Arg(5), reserved(6),
        text(7), static_cast<LPSTARTUPINFOW>(reserved(8)),
        information ? &host : nullptr);
    if (started && information) {
        const uint32_t words[4] = {WordOf(host.hProcess), WordOf(host.hThread), host.dwProcessId, host.dwThreadId};
        static_assert(sizeof words == device_calls::kProcessInformationBytes);
        std::memcpy(information, words, sizeof words);
    }
    c.result = static_cast<uint32_t>(started);
}

// The services with something of their own; every other call is served as declared.
template <auto Call>
constexpr ServeCall kParticular = nullptr;
template <>
constexpr ServeCall kParticular<&sim::DeviceSession::GetProcessHeap> = &ServeGetProcessHeap;
template <>
constexpr ServeCall kParticular<&sim::DeviceSession::HeapAlloc> = &ServeHeapAlloc;
template <>
constexpr ServeCall kParticular<&sim::DeviceSession::HeapFree> = &ServeHeapFree;
template <>
constexpr ServeCall kParticular<&sim::DeviceSession::CreateProcessW> = &ServeCreateProcessW;

// ------------------------------------------------------- the exports --

namespace declared {
using namespace device_calls;
// NOLINTBEGIN(bugprone-macro-parentheses): name is the name each constant is declared by
#define TRQ_DECLARED_ARGS(type, name, params, args, faults, success, kinds)                                    \
    constexpr auto name = MakeArgs kinds;                                                      \
    static_assert(KindsFit(&sim::DeviceSession::name, name), #name ": the kinds of its arguments in the list of " \
                                           "device/device_calls.h do not fit its parameters");          \
    static_assert(kParticular<&sim::DeviceSession::name> || ServableAsDeclared(&sim::DeviceSession::name, name), \
                  #name ": a buffer of fixed size is not its structure's size on this host; the call needs a " \
                  "service of its own");
TRQ_ALL_CALLS(TRQ_DECLARED_ARGS)
#undef TRQ_DECLARED_ARGS
// NOLINTEND(bugprone-macro-parentheses)
}  // namespace declared

// In the list's order, as the rows are: kExports[row.index] is a row's.
#define TRQ_EXPORT(type, name, params, args, faults, success, kinds)                               \
    {&device_calls::call::name, kParticular<&sim::DeviceSession::name>                             \
                                    ? kParticular<&sim::DeviceSession::name>                       \
                                    : &ServeAsDeclared<&sim::DeviceSession::name, declared::name>},
const Export kExports[] = {TRQ_ALL_CALLS(TRQ_EXPORT)};
#undef TRQ_EXPORT
static_assert(std::size(kExports) == kExportCount);

}  // namespace

const Export& ExportOf(const device_calls::Row& call)
{
    return kExports[call.index];
}

const Export* FindExport(const std::string& name)
{
    const device_calls::Row* call = device_calls::FindCall(name);
    return call ? &ExportOf(*call) : nullptr;
}

bool IsCoredll(const std::string& library)
{
    std::u16string name(library.begin(), library.end());
    return formats::EqualsIgnoreCase(name, u"COREDLL.dll");
}

}  // namespace emulator
