// Windows promises only 4-byte stack alignment when it calls into the
// program (window procedures, timer and dialog callbacks); the session's
// checksum runs inside the window procedure. Called through a stub that
// offsets the stack from 16-byte alignment, it must still work.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "inventory/crc32.h"

namespace ulmar {
namespace {

struct ChecksumJob {
  const std::string* data;
  uint32_t crc;
};

// What a callback would do: the fast checksum of a block, through a frame
// the compiler made on its own assumptions about the stack.
extern "C" __attribute__((noinline)) void ChecksumInCallback(ChecksumJob* job) {
  job->crc = UpdateCRC32Fast(0xFFFFFFFFu, job->data->data(), job->data->size()) ^ 0xFFFFFFFFu;
}

// Calls fn(arg) with the stack pointer `offset` bytes off the 16-byte
// alignment the compiler's own calls keep (cdecl, 32-bit x86).
extern "C" void CallWithStackOffset(void (*fn)(ChecksumJob*), ChecksumJob* arg, int offset);
__asm__(
    ".text\n"
    ".globl _CallWithStackOffset\n"
    "_CallWithStackOffset:\n"
    "  pushl %ebp\n"
    "  movl %esp, %ebp\n"
    "  movl 8(%ebp), %eax\n"   // fn
    "  movl 12(%ebp), %ecx\n"  // arg
    "  movl 16(%ebp), %edx\n"  // offset
    "  andl $-16, %esp\n"
    "  subl %edx, %esp\n"
    "  subl $12, %esp\n"
    "  pushl %ecx\n"           // now esp is offset bytes below a 16-byte boundary
    "  call *%eax\n"
    "  movl %ebp, %esp\n"
    "  popl %ebp\n"
    "  ret\n");

TEST(StackAlignment, TheChecksumWorksWhateverTheCallersStackAlignment) {
  // Long enough for the carry-less multiply fold.
  std::string data;
  for (int i = 0; i < 4096; ++i) data += static_cast<char>(i * 7 + 1);
  uint32_t expected = 0xFFFFFFFFu;
  UpdateCRC32(data.data(), static_cast<uint32_t>(data.size()), expected);
  expected ^= 0xFFFFFFFFu;
  for (int offset : {0, 4, 8, 12}) {
    ChecksumJob job{&data, 0};
    CallWithStackOffset(ChecksumInCallback, &job, offset);
    EXPECT_EQ(job.crc, expected) << "stack offset " << offset;
  }
}

}  // namespace
}  // namespace ulmar
