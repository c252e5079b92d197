#include "utils/file_panel.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace Zarnik {
namespace FilePanel {
namespace {

const char kAnswerVariable[] = "ZARNIKSU_FILE_PANEL_ANSWER";
const char kLogVariable[] = "ZARNIKSU_FILE_PANEL_LOG";
const char kDialogProgram[] = "zenity";

bool IsSetAndNotEmpty(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0';
}

// Prompts and paths are untrusted text; a stray line break must not split a log record.
std::string OneLine(const std::string& field) {
  std::string line = field;
  for (char& c : line) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 32 || byte == 127) c = ' ';
  }
  return line;
}

std::string JoinExtensions(const std::vector<std::string>& extensions, const char* prefix, const char* separator) {
  std::string joined;
  for (const std::string& extension : extensions) {
    if (!joined.empty()) joined += separator;
    joined += prefix;
    joined += extension;
  }
  return joined;
}

void LogRequest(const Request& request) {
  const char* log_path = std::getenv(kLogVariable);
  if (log_path == nullptr || *log_path == '\0') return;
  std::string line = request.kind == Kind::Save ? "save" : "open";
  line += '\t';
  line += OneLine(request.prompt);
  line += '\t';
  line += OneLine(JoinExtensions(request.extensions, "", ";"));
  line += '\t';
  line += OneLine(request.start_folder);
  line += '\n';
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(log_path, "ab"), &std::fclose);
  if (file) std::fwrite(line.data(), 1, line.size(), file.get());
}

// Full path of an executable regular file named `program` in one of PATH's folders. Empty
// PATH entries (the current folder) are skipped: the current folder is whatever the host
// happens to be in and nothing there should be run by accident.
std::string FindOnPath(const std::string& program) {
  const char* path = std::getenv("PATH");
  if (path == nullptr) return std::string();
  std::string folders = path;
  std::size_t start = 0;
  while (start <= folders.size()) {
    std::size_t end = folders.find(':', start);
    if (end == std::string::npos) end = folders.size();
    const std::string folder = folders.substr(start, end - start);
    if (!folder.empty()) {
      const std::string candidate = folder + "/" + program;
      struct stat info;
      if (::stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) && ::access(candidate.c_str(), X_OK) == 0)
        return candidate;
    }
    start = end + 1;
  }
  return std::string();
}

std::vector<std::string> DialogArguments(const std::string& program, const Request& request) {
  std::vector<std::string> arguments = {program, "--file-selection"};
  if (request.kind == Kind::Save) arguments.push_back("--save");
  // The "--name=value" form keeps a prompt that looks like an option from being read as one.
  arguments.push_back("--title=" + request.prompt);
  if (!request.start_folder.empty()) {
    std::string start = request.start_folder;
    if (start.back() != '/') start += '/';
    arguments.push_back("--filename=" + start);
  }
  if (!request.extensions.empty()) arguments.push_back("--file-filter=" + JoinExtensions(request.extensions, "*.", " "));
  return arguments;
}

class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  ~Descriptor() { Close(); }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

// Runs the dialog program and answers what it printed when it exits with status 0.
std::string RunDialog(const std::string& program, const Request& request) {
  // Everything the child needs is prepared before fork: between fork and exec only
  // async-signal-safe calls are allowed, and the host has other threads running.
  const std::vector<std::string> arguments = DialogArguments(program, request);
  std::vector<char*> argv;
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) return std::string();
  Descriptor read_end(pipe_fds[0]);
  Descriptor write_end(pipe_fds[1]);
  Descriptor null_device(::open("/dev/null", O_RDWR | O_CLOEXEC));
  if (null_device.get() < 0) return std::string();

  const pid_t child = ::fork();
  if (child < 0) return std::string();
  if (child == 0) {
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    signal(SIGPIPE, SIG_DFL);
    if (dup2(null_device.get(), STDIN_FILENO) < 0 || dup2(write_end.get(), STDOUT_FILENO) < 0 ||
        dup2(null_device.get(), STDERR_FILENO) < 0)
      _exit(127);
    execv(argv[0], argv.data());
    _exit(127);
  }
  write_end.Close();
  null_device.Close();

  std::string output;
  char buffer[4096];
  for (;;) {
    const ssize_t count = ::read(read_end.get(), buffer, sizeof buffer);
    if (count > 0) {
      output.append(buffer, static_cast<std::size_t>(count));
    } else if (count == 0 || errno != EINTR) {
      break;
    }
  }
  read_end.Close();

  int status = 0;
  pid_t waited;
  do {
    waited = ::waitpid(child, &status, 0);
  } while (waited < 0 && errno == EINTR);
  if (waited != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::string();

  // Exactly one line break ends the answer; a name may itself end in odd characters.
  if (!output.empty() && output.back() == '\n') output.pop_back();
  return output;
}

}  // namespace

std::string Run(const Request& request) {
  LogRequest(request);
  if (const char* scripted = std::getenv(kAnswerVariable)) return scripted;
  if (!IsSetAndNotEmpty("DISPLAY") && !IsSetAndNotEmpty("WAYLAND_DISPLAY")) return std::string();
  const std::string program = FindOnPath(kDialogProgram);
  if (program.empty()) return std::string();
  return RunDialog(program, request);
}

}  // namespace FilePanel
}  // namespace Zarnik
