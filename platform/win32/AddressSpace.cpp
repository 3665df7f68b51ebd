#include "platform/AddressSpace.h"

#include <windows.h>

#include <vector>

namespace kestrum {
namespace platform {

void UseOneHeapArena() {}

bool LimitAddressSpace(uint64_t extraBytes, std::string& reason) {
  if (sizeof(void*) != 4) {
    reason = "only a 32-bit process can be driven to the end of its address space";
    return false;
  }
  // Wine's own Linux side lives in the same 32-bit address space and ends
  // the process when it runs short (a thread's server pipe, a library it
  // loads late): there, only wine would be tested.
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  if (ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr) {
    reason = "under wine, whose own Linux side shares the address space and fails first";
    return false;
  }
  // Every free range is reserved, large pieces first; then pieces are given
  // back until extraBytes are free again. The reservations are kept for the
  // life of the process.
  static std::vector<void*> taken;
  uint64_t total = 0;
  std::vector<std::pair<void*, size_t>> pieces;
  for (size_t size = size_t{64} << 20; size >= (size_t{64} << 10); size /= 2) {
    for (;;) {
      void* piece = VirtualAlloc(nullptr, size, MEM_RESERVE, PAGE_NOACCESS);
      if (piece == nullptr) break;
      pieces.emplace_back(piece, size);
      total += size;
    }
  }
  uint64_t freed = 0;
  // The largest pieces go back first: thread stacks want whole 256 KiB ranges.
  for (auto& piece : pieces) {
    if (freed >= extraBytes) {
      taken.push_back(piece.first);
      continue;
    }
    VirtualFree(piece.first, 0, MEM_RELEASE);
    freed += piece.second;
  }
  if (total < extraBytes) {
    reason = "less address space was free than asked to leave";
    return false;
  }
  return true;
}

}  // namespace platform
}  // namespace kestrum
