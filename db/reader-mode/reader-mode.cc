#include "db/reader-mode/reader-mode.h"

#include <atomic>

namespace kelo {
namespace {

std::atomic<DbRole> g_role{DbRole::kWriter};

}  // namespace

DbRole CurrentDbRole() { return g_role.load(std::memory_order_acquire); }

void SetDbRole(DbRole role) { g_role.store(role, std::memory_order_release); }

}  // namespace kelo
