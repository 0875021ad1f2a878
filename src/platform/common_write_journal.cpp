// The write journal of the power-loss tests: what reached the file system, in order.
#include <atomic>
#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "platform/write_counter.h"

namespace qm::os {
namespace {

std::atomic<bool> g_journalOn{false};
std::mutex g_journalMutex;
std::vector<JournalEntry> g_journal;

void Record(JournalEntry entry) {
  std::lock_guard<std::mutex> lock(g_journalMutex);
  if (g_journalOn.load(std::memory_order_relaxed)) g_journal.push_back(std::move(entry));
}

}  // namespace

void JournalWrite(FileHandle h, uint64_t pos, uint32_t n, const void* src) {
  if (!g_journalOn.load(std::memory_order_relaxed)) return;
  JournalEntry e;
  e.kind = JournalEntry::kWrite;
  e.handle = h;
  e.position = pos;
  const auto* bytes = static_cast<const uint8_t*>(src);
  e.bytes.assign(bytes, bytes + n);
  Record(std::move(e));
}

void JournalSize(FileHandle h, uint64_t size) {
  if (!g_journalOn.load(std::memory_order_relaxed)) return;
  JournalEntry e;
  e.kind = JournalEntry::kSize;
  e.handle = h;
  e.position = size;
  Record(std::move(e));
}

bool JournalSync(FileHandle h) {
  if (!g_journalOn.load(std::memory_order_relaxed)) return false;
  JournalEntry e;
  e.kind = JournalEntry::kSync;
  e.handle = h;
  Record(std::move(e));
  return true;
}

void StartWriteJournal() {
  std::lock_guard<std::mutex> lock(g_journalMutex);
  g_journal.clear();
  g_journalOn.store(true);
}

std::vector<JournalEntry> TakeWriteJournal() {
  std::lock_guard<std::mutex> lock(g_journalMutex);
  g_journalOn.store(false);
  return std::exchange(g_journal, {});
}

}  // namespace qm::os
