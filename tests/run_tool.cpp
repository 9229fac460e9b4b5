#include "run_tool.h"

#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <stdexcept>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#endif

#ifndef TOLVAK_EXECUTABLE
#error "TOLVAK_EXECUTABLE must name the tolvak executable under test"
#endif

namespace tolvak::test {

namespace {

[[noreturn]] void fail(const std::string& what) {
  throw std::runtime_error("run_tool: " + what);
}

bool isBlank(char c) { return c == ' ' || c == '\t'; }

std::string escapeQuotes(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '"') out += '\\';
    out += c;
  }
  return out;
}

#ifdef _WIN32

// The build hands over the executable's path as the build host sees it.
// Under Wine on a Linux host that is a POSIX path; Wine's drive Z: is the
// root of the host's file system.
std::string toolPath() {
  std::string path = TOLVAK_EXECUTABLE;
  if (!path.empty() && path[0] == '/') {
    for (char& c : path) {
      if (c == '/') c = '\\';
    }
    path = "Z:" + path;
  }
  return path;
}

// The program as the first word of a command line.
std::string quotedToolPath() {
  std::string quoted = "\"";
  quoted += toolPath();
  quoted += '"';
  return quoted;
}

class Handle {
 public:
  explicit Handle(HANDLE handle = nullptr) : handle_(handle) {}
  ~Handle() { reset(); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE get() const { return handle_; }
  HANDLE* out() { return &handle_; }
  void reset() {
    if (handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    handle_ = nullptr;
  }

 private:
  HANDLE handle_;
};

ToolResult runCommandLine(std::string commandLine,
                          const std::filesystem::path& workingDirectory) {
  SECURITY_ATTRIBUTES inheritable{};
  inheritable.nLength = sizeof inheritable;
  inheritable.bInheritHandle = TRUE;
  Handle readEnd;
  Handle writeEnd;
  if (!CreatePipe(readEnd.out(), writeEnd.out(), &inheritable, 0)) fail("CreatePipe");
  SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0);

  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = writeEnd.get();
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);

  const std::string program = toolPath();
  const std::string directory = workingDirectory.string();
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0,
                      nullptr, directory.c_str(), &startup, &process)) {
    fail("CreateProcessA " + program + " failed, error " +
         std::to_string(GetLastError()));
  }
  Handle processHandle(process.hProcess);
  Handle threadHandle(process.hThread);
  // Only the child may hold the write end now, so reading ends when it exits.
  writeEnd.reset();

  ToolResult result;
  char buffer[4096];
  DWORD count = 0;
  while (ReadFile(readEnd.get(), buffer, sizeof buffer, &count, nullptr) && count > 0) {
    result.output.append(buffer, count);
  }
  WaitForSingleObject(processHandle.get(), INFINITE);
  DWORD exitCode = 0;
  GetExitCodeProcess(processHandle.get(), &exitCode);
  result.exitStatus = static_cast<int>(exitCode);
  return result;
}

#endif

}  // namespace

std::string quoteArgument(const std::string& argument) {
  if (argument.empty()) return "\"\"";
  const std::size_t lastBlank = [&] {
    for (std::size_t i = argument.size(); i-- > 0;) {
      if (isBlank(argument[i])) return i;
    }
    return std::string::npos;
  }();
  if (lastBlank == std::string::npos) return escapeQuotes(argument);
  // The run opens before the first byte and closes right after the last
  // blank, so no backslash of the argument ever stands before one of the
  // run's own quotes (it would turn that quote into a literal one).
  std::string quoted = "\"";
  quoted += escapeQuotes(argument.substr(0, lastBlank + 1));
  quoted += '"';
  quoted += escapeQuotes(argument.substr(lastBlank + 1));
  return quoted;
}

#ifdef _WIN32

ToolResult runTool(const std::vector<std::string>& arguments,
                   const std::filesystem::path& workingDirectory) {
  std::string line = quotedToolPath();
  for (const std::string& argument : arguments) {
    line += ' ';
    line += quoteArgument(argument);
  }
  return runCommandLine(line, workingDirectory);
}

ToolResult runToolRaw(const std::string& commandLineAfterProgram,
                      const std::filesystem::path& workingDirectory) {
  std::string line = quotedToolPath();
  line += ' ';
  line += commandLineAfterProgram;
  return runCommandLine(line, workingDirectory);
}

#else

ToolResult runTool(const std::vector<std::string>& arguments,
                   const std::filesystem::path& workingDirectory) {
  const std::string program = TOLVAK_EXECUTABLE;
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& argument : arguments) {
    argv.push_back(const_cast<char*>(argument.c_str()));
  }
  argv.push_back(nullptr);
  const std::string directory = workingDirectory.string();

  int pipeEnds[2];
  if (pipe(pipeEnds) != 0) fail("pipe");
  const pid_t child = fork();
  if (child < 0) fail("fork");
  if (child == 0) {
    // Only async-signal-safe calls from here on.
    close(pipeEnds[0]);
    if (dup2(pipeEnds[1], STDOUT_FILENO) < 0 || chdir(directory.c_str()) != 0) _exit(127);
    close(pipeEnds[1]);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(pipeEnds[1]);

  ToolResult result;
  char buffer[4096];
  for (;;) {
    const ssize_t count = read(pipeEnds[0], buffer, sizeof buffer);
    if (count > 0) {
      result.output.append(buffer, static_cast<std::size_t>(count));
    } else if (count == 0 || errno != EINTR) {
      break;
    }
  }
  close(pipeEnds[0]);

  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) fail("waitpid");
  }
  result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
  return result;
}

#endif

TempDir::TempDir() {
  const std::filesystem::path base = std::filesystem::temp_directory_path();
  std::random_device seed;
  std::mt19937_64 random(seed());
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::ostringstream name;
    name << "tolvak-test-" << std::hex << random();
    std::filesystem::path candidate = base / name.str();
    // create_directory is false when the name is already taken.
    if (std::filesystem::create_directory(candidate)) {
      path_ = std::move(candidate);
      return;
    }
  }
  fail("no fresh temporary directory under " + base.string());
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::map<std::string, std::string> TempDir::snapshot() const {
  std::map<std::string, std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(path_)) {
    const std::string name = entry.path().filename().string();
    files[name] = entry.is_directory() ? "<dir>" : readFile(entry.path());
  }
  return files;
}

void writeFile(const std::filesystem::path& file, const std::string& bytes) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out.flush()) fail("cannot write " + file.string());
}

std::string readFile(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) fail("cannot read " + file.string());
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace tolvak::test
