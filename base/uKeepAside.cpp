#include "base/uKeepAside.h"

#include <cstdio>
#include <ctime>
#include <sys/stat.h>

std::string KeepAside(const std::string& path) {
  char stamp[32] = "unknown";
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  if (now != static_cast<std::time_t>(-1) && localtime_r(&now, &local))
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string aside = path + ".bad-" + stamp;
    if (attempt) aside += "-" + std::to_string(attempt);
    struct stat st {};
    if (::lstat(aside.c_str(), &st) == 0) continue;
    return std::rename(path.c_str(), aside.c_str()) == 0 ? aside : std::string();
  }
  return {};
}
