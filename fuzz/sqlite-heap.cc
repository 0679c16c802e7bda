// SQLite's own allocations in the fuzz targets that use it. Schema parsing and statement
// preparation allocate and free thousands of small blocks per database opened, and under
// AddressSanitizer each one pays for the sanitizer's allocator (stack trace, quarantine,
// fill) and libFuzzer's malloc hooks: two fifths of a resolution input's time went there. Here a
// freed block goes to a free list of its size class and the next request of that class takes
// it back, so in the steady state SQLite calls no allocator at all.
//
// What the sanitizers still see: our code's allocations are untouched; a block on a free list
// is poisoned, so a use after SQLite freed it is reported until the block is handed out again;
// every block is a separate allocation of the sanitizer's, so a connection or statement our
// code leaks is still reported as a leak (blocks on the free lists are reachable and are not).
//
// Installed by a static initialiser, before anything opens a database. Compiled without the
// fuzzer's coverage and without address checks of its own accesses to the headers: its
// branches are not the code under test, and the poisoning above is done by hand.
#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KELO_FUZZ_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define KELO_FUZZ_ASAN 1
#endif
#ifdef KELO_FUZZ_ASAN
#include <sanitizer/asan_interface.h>
#define KELO_POISON(p, n) ASAN_POISON_MEMORY_REGION((p), (n))
#define KELO_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION((p), (n))
#define KELO_NO_ASAN __attribute__((no_sanitize_address))
#else
#define KELO_NO_ASAN
#define KELO_POISON(p, n) ((void)(p), (void)(n))
#define KELO_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace {

// Each block starts with a header giving its usable size; classes hold 2^5 .. 2^16 bytes in all.
constexpr size_t kHeader = 16;
constexpr int kClasses = 12;
constexpr size_t kSmallest = 32;

struct FreeBlock {
  FreeBlock* next;
};

// Each thread has free lists of its own, so no lock is needed (SQLite calls in without one once
// its memory statistics are off); a block freed by another thread than the one that took it
// simply joins the freeing thread's list.
thread_local FreeBlock* g_free[kClasses];

size_t ClassBytes(int c) { return kSmallest << c; }

// The class whose blocks hold `n` usable bytes, or kClasses when none does.
int ClassOf(size_t n) {
  const size_t total = n + kHeader;
  if (total <= kSmallest) return 0;
  const int c = 64 - __builtin_clzll(static_cast<unsigned long long>(total - 1)) - 5;
  return c < kClasses ? c : kClasses;
}

// The usable bytes of the block that serves a request of `n`: its class's, or `n` rounded up
// to 8 for a block too large for any class.
size_t UsableFor(size_t n) {
  const int c = ClassOf(n);
  return c < kClasses ? ClassBytes(c) - kHeader : (n + 7) & ~size_t{7};
}

KELO_NO_ASAN size_t& UsableOf(void* user) {
  return *reinterpret_cast<size_t*>(static_cast<char*>(user) - kHeader);
}

KELO_NO_ASAN void* Malloc(int n) {
  if (n <= 0) return nullptr;
  const int c = ClassOf(static_cast<size_t>(n));
  const size_t usable = UsableFor(static_cast<size_t>(n));
  char* block = nullptr;
  if (c < kClasses && g_free[c] != nullptr) {
    block = reinterpret_cast<char*>(g_free[c]);
    KELO_UNPOISON(block, ClassBytes(c));
    g_free[c] = g_free[c]->next;
  }
  if (block == nullptr) block = static_cast<char*>(std::malloc(usable + kHeader));
  if (block == nullptr) return nullptr;
  *reinterpret_cast<size_t*>(block) = usable;
  return block + kHeader;
}

KELO_NO_ASAN void Free(void* user) {
  if (user == nullptr) return;
  char* block = static_cast<char*>(user) - kHeader;
  const size_t usable = UsableOf(user);
  const int c = ClassOf(usable);
  if (c >= kClasses || ClassBytes(c) != usable + kHeader) {
    std::free(block);
    return;
  }
  reinterpret_cast<FreeBlock*>(block)->next = g_free[c];
  g_free[c] = reinterpret_cast<FreeBlock*>(block);
  KELO_POISON(block + sizeof(FreeBlock), ClassBytes(c) - sizeof(FreeBlock));
}

KELO_NO_ASAN int Size(void* user) { return user == nullptr ? 0 : static_cast<int>(UsableOf(user)); }

KELO_NO_ASAN void* Realloc(void* user, int n) {
  if (user == nullptr) return Malloc(n);
  if (n <= 0) {
    Free(user);
    return nullptr;
  }
  if (static_cast<size_t>(n) <= UsableOf(user)) return user;
  void* grown = Malloc(n);
  if (grown == nullptr) return nullptr;
  std::memcpy(grown, user, UsableOf(user));
  Free(user);
  return grown;
}

int Roundup(int n) { return static_cast<int>(UsableFor(static_cast<size_t>(n))); }

int Init(void*) { return SQLITE_OK; }
void Shutdown(void*) {}

const bool kInstalled = [] {
  static const sqlite3_mem_methods kMethods = {Malloc,  Free, Realloc,  Size,
                                               Roundup, Init, Shutdown, nullptr};
  if (sqlite3_config(SQLITE_CONFIG_MALLOC, &kMethods) != SQLITE_OK ||
      sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0) != SQLITE_OK) {
    std::fprintf(stderr, "sqlite-heap: SQLite was initialised before its allocator was set\n");
    std::abort();
  }
  return true;
}();

}  // namespace
