#include "encoder/CustomEncoder.h"

namespace corvane {

int TFFmpegList::Count() const {
  std::lock_guard g(FLock);
  return static_cast<int>(FList.size());
}

TFFmpeg* TFFmpegList::Items(int AIndex) const {
  std::lock_guard g(FLock);
  if (AIndex < 0 || AIndex >= static_cast<int>(FList.size())) return nullptr;
  return FList[AIndex].get();
}

std::shared_ptr<TFFmpeg> TFFmpegList::Item(int AIndex) const {
  std::lock_guard g(FLock);
  if (AIndex < 0 || AIndex >= static_cast<int>(FList.size())) return nullptr;
  return FList[AIndex];
}

int TFFmpegList::Add(std::shared_ptr<TFFmpeg> ATask) {
  std::lock_guard g(FLock);
  FList.push_back(std::move(ATask));
  return static_cast<int>(FList.size()) - 1;
}

int TFFmpegList::IndexOf(const TFFmpeg* ATask) const {
  std::lock_guard g(FLock);
  if (!ATask) return -1;
  for (std::size_t i = 0; i < FList.size(); ++i)
    if (FList[i].get() == ATask) return static_cast<int>(i);
  return -1;
}

std::shared_ptr<TFFmpeg> TFFmpegList::ReleaseIf(int AIndex, const TFFmpeg* ATask) {
  std::lock_guard g(FLock);
  if (AIndex < 0 || AIndex >= static_cast<int>(FList.size())) return nullptr;
  if (FList[AIndex].get() != ATask) return nullptr;
  return std::move(FList[AIndex]);
}

std::shared_ptr<TFFmpeg> TFFmpegList::Remove(int AIndex) {
  std::lock_guard g(FLock);
  if (AIndex < 0 || AIndex >= static_cast<int>(FList.size())) return nullptr;
  auto task = std::move(FList[AIndex]);
  FList.erase(FList.begin() + AIndex);
  return task;
}

bool TFFmpegList::Exchange(int AIndex1, int AIndex2) {
  std::lock_guard g(FLock);
  const int n = static_cast<int>(FList.size());
  if (AIndex1 < 0 || AIndex1 >= n || AIndex2 < 0 || AIndex2 >= n) return false;
  std::swap(FList[AIndex1], FList[AIndex2]);
  return true;
}

std::vector<std::shared_ptr<TFFmpeg>> TFFmpegList::TakeAll() {
  std::lock_guard g(FLock);
  return std::exchange(FList, {});
}

std::vector<std::shared_ptr<TFFmpeg>> TFFmpegList::Snapshot() const {
  std::lock_guard g(FLock);
  std::vector<std::shared_ptr<TFFmpeg>> tasks;
  for (const auto& t : FList)
    if (t) tasks.push_back(t);
  return tasks;
}

}  // namespace corvane
