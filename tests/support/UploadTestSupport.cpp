#include "tests/support/UploadTestSupport.h"

#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

TProcess RunArgs(const std::vector<std::string>& args, const std::string& state_home,
                 const std::string& cwd) {
  TProcess result;
  std::vector<std::string> env_text;
  for (char** e = environ; *e != nullptr; ++e)
    if (std::strncmp(*e, "XDG_STATE_HOME=", 15) != 0) env_text.emplace_back(*e);
  env_text.push_back("XDG_STATE_HOME=" + state_home);
  std::vector<char*> envp;
  for (std::string& e : env_text) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<std::string> arg_text = args;
  std::vector<char*> argv;
  for (std::string& a : arg_text) argv.push_back(a.data());
  argv.push_back(nullptr);

  int fds[2];
  if (pipe(fds) != 0) return result;
  const pid_t pid = fork();
  if (pid < 0) {
    close(fds[0]);
    close(fds[1]);
    return result;
  }
  if (pid == 0) {
    const int null_in = open("/dev/null", O_RDONLY);
    if (null_in < 0 || dup2(null_in, 0) < 0 || dup2(fds[1], 1) < 0 || dup2(fds[1], 2) < 0 ||
        chdir(cwd.c_str()) != 0)
      _exit(126);
    close(fds[0]);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  close(fds[1]);
  char buffer[4096];
  ssize_t n;
  while ((n = read(fds[0], buffer, sizeof buffer)) > 0) result.output.append(buffer, size_t(n));
  close(fds[0]);
  int raw = 0;
  if (waitpid(pid, &raw, 0) == pid && WIFEXITED(raw)) result.status = WEXITSTATUS(raw);
  return result;
}

bool ReadIntelHex(const std::string& text, std::map<uint32_t, uint8_t>& bytes, std::string& error) {
  std::istringstream in(text);
  std::string line;
  uint32_t base = 0;
  while (std::getline(in, line)) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    if (line.empty()) continue;
    if (line[0] != ':' || line.size() < 11 || line.size() % 2 == 0) {
      error = "bad record " + line;
      return false;
    }
    std::vector<uint8_t> rec;
    for (size_t i = 1; i + 1 < line.size(); i += 2)
      rec.push_back(uint8_t(std::stoul(line.substr(i, 2), nullptr, 16)));
    uint8_t sum = 0;
    for (uint8_t b : rec) sum = uint8_t(sum + b);
    if (sum != 0 || rec.size() != size_t(rec[0]) + 5) {
      error = "bad checksum or length " + line;
      return false;
    }
    const uint32_t offset = uint32_t(rec[1]) << 8 | rec[2];
    switch (rec[3]) {
    case 0:
      for (size_t i = 0; i < rec[0]; ++i) bytes[base + offset + uint32_t(i)] = rec[4 + i];
      break;
    case 1:
      return true;
    case 2:
      base = (uint32_t(rec[4]) << 8 | rec[5]) << 4;
      break;
    case 4:
      base = (uint32_t(rec[4]) << 8 | rec[5]) << 16;
      break;
    default:
      break; // start addresses
    }
  }
  return true;
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}
