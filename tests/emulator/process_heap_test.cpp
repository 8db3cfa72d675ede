// The process heap in emulated memory, with the program's own stores: each
// block 8-byte aligned at the end of pages of its own, before a page left
// unmapped; a write into a block's rounding caught when it is freed or
// when the program returns; freed pages given out again; a request the
// heap has no room for answered with no block.
#include <string>

#include "harness/emulator/coredll.h"
#include "tests/emulator/arm_code.h"

namespace trq_test::arm {
namespace {

using emulator::Cpu;
using emulator::Halt;
using emulator::ProcessHeap;

constexpr uint32_t kHeap = 0x00100000;
constexpr uint32_t kHeapPages = 16;

struct HeapMachine {
    std::unique_ptr<emulator::ArmMachine> machine;
    std::unique_ptr<ProcessHeap> heap;
};

// A machine whose code stores r1's low byte (strb) or word (str) at r0, and
// a heap of kHeapPages pages.
HeapMachine WithHeap(uint32_t store, uint32_t pages = kHeapPages)
{
    HeapMachine h{Machine(Cpu::Sa1110, {store, kReturn}), nullptr};
    EXPECT_TRUE(h.machine->Reserve(kHeap, pages * kPage));
    h.heap = std::make_unique<ProcessHeap>(*h.machine, kHeap, kHeap + pages * kPage);
    return h;
}

// The program stores r1 at the address; what stopped it.
Halt Store(HeapMachine& h, uint32_t address, uint32_t value = 0x5A)
{
    h.machine->SetReg(UC_ARM_REG_R0, address);
    h.machine->SetReg(UC_ARM_REG_R1, value);
    h.machine->SetReg(UC_ARM_REG_LR, kLoader);
    return h.machine->Run(kCode);
}

struct Write {
    std::string name;
    uint32_t bytes;   // the block asked for
    uint32_t offset;  // where the program writes a byte, from the block's start
    bool withinBlock;  // else into its rounding: found at free and at the end
};

const Write kWrites[] = {
    {"LastByteOfTheBlock", 13, 12, true},
    {"FirstByteOfTheRounding", 13, 13, false},
    {"LastByteOfTheRounding", 13, 15, false},
    {"OneByteBlock", 1, 1, false},
    {"SevenByteBlockLastGuard", 7, 7, false},
    {"EightByteBlockHasNoRounding", 8, 7, true},
};

void PrintTo(const Write& write, std::ostream* out) { *out << write.name; }

class HeapWrite : public testing::TestWithParam<Write> {};

TEST_P(HeapWrite, IntoTheRoundingIsFoundAtFreeAndAtTheEnd)
{
    const Write& w = GetParam();
    HeapMachine h = WithHeap(kStoreByteR1AtR0);
    const uint32_t other = h.heap->Allocate(24);
    const uint32_t block = h.heap->Allocate(w.bytes);
    ASSERT_NE(block, 0u);
    ASSERT_NE(other, 0u);
    ASSERT_EQ(Store(h, block + w.offset).kind, Halt::Call);
    EXPECT_EQ(h.heap->Overrun(other), "");
    if (w.withinBlock) {
        EXPECT_EQ(h.heap->Overrun(block), "");
        EXPECT_EQ(h.heap->AnyOverrun(), "");
        return;
    }
    char expected[160];
    (void)std::snprintf(expected, sizeof expected,
                        "the heap block at 0x%08X (%u bytes) was written past its end, at 0x%08X", block, w.bytes,
                        block + w.offset);
    EXPECT_EQ(h.heap->Overrun(block), expected);
    EXPECT_EQ(h.heap->AnyOverrun(), expected);
}

INSTANTIATE_TEST_SUITE_P(Heap, HeapWrite, testing::ValuesIn(kWrites),
                         [](const auto& info) { return info.param.name; });

TEST(Heap, ABlockIsAlignedAndEndsWhereMemoryNotGivenBegins)
{
    HeapMachine h = WithHeap(kStoreByteR1AtR0);
    for (uint32_t bytes : {1u, 13u, 16u, 100u, 4096u, 5000u}) {
        const uint32_t block = h.heap->Allocate(bytes);
        ASSERT_NE(block, 0u) << bytes;
        EXPECT_EQ(block % 8, 0u) << bytes;
        const uint32_t rounded = (bytes + 7) / 8 * 8;
        EXPECT_EQ((block + rounded) % kPage, 0u) << bytes;
        EXPECT_EQ(Store(h, block + rounded - 1).kind, Halt::Call) << bytes;
        const Halt past = Store(h, block + rounded);
        EXPECT_EQ(past.kind, Halt::Fault) << bytes;
        EXPECT_EQ(past.address, block + rounded) << past.what;
    }
}

TEST(Heap, AFreedBlockIsGoneAndItsPagesAreGivenOutAgain)
{
    HeapMachine h = WithHeap(kStoreR1AtR0);
    const uint32_t first = h.heap->Allocate(64);
    ASSERT_NE(first, 0u);
    ASSERT_EQ(Store(h, first).kind, Halt::Call);
    h.heap->Release(first);
    const Halt afterFree = Store(h, first);
    EXPECT_EQ(afterFree.kind, Halt::Fault);
    EXPECT_EQ(afterFree.address, first) << afterFree.what;
    EXPECT_EQ(h.heap->Allocate(64), first);
    EXPECT_EQ(Store(h, first).kind, Halt::Call);
}

TEST(Heap, ARequestWithoutRoomGetsNoBlockAndTheRestGoOn)
{
    // Four pages: a block of a page takes two, its own and the one left unmapped after it.
    HeapMachine h = WithHeap(kStoreR1AtR0, 4);
    EXPECT_EQ(h.heap->Allocate(0xFFFFFFFF), 0u);
    EXPECT_EQ(h.heap->Allocate(4 * kPage), 0u);
    const uint32_t a = h.heap->Allocate(kPage);
    const uint32_t b = h.heap->Allocate(kPage);
    ASSERT_NE(a, 0u);
    ASSERT_NE(b, 0u);
    EXPECT_EQ(h.heap->Allocate(1), 0u);
    h.heap->Release(a);
    EXPECT_EQ(h.heap->Allocate(1), a + kPage - 8);
    EXPECT_EQ(h.heap->AnyOverrun(), "");
}

}  // namespace
}  // namespace trq_test::arm
