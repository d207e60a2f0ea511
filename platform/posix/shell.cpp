// The Win32 shell and message-box calls on a POSIX desktop: the URL goes to the desktop's opener,
// the message to standard error and, where a graphical session has one, a dialog program.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/win32.h"

namespace {

bool graphical_session() {
#ifdef __APPLE__
  return true;
#else
  const char* x11 = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  return (x11 != nullptr && *x11 != '\0') || (wayland != nullptr && *wayland != '\0');
#endif
}

bool on_path(const std::string& program) {
  const char* path = std::getenv("PATH");
  if (path == nullptr) return false;
  std::string dirs(path);
  std::size_t start = 0;
  while (start <= dirs.size()) {
    std::size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string candidate = dirs.substr(start, end - start) + "/" + program;
    if (access(candidate.c_str(), X_OK) == 0) return true;
    start = end + 1;
  }
  return false;
}

void quiet_standard_streams() {
  int null_fd = open("/dev/null", O_RDWR);
  if (null_fd < 0) return;
  dup2(null_fd, 0);
  dup2(null_fd, 1);
  dup2(null_fd, 2);
  if (null_fd > 2) close(null_fd);
}

// Runs `argv` with its standard streams on /dev/null and waits for it to end.
void run_and_wait(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_t child = fork();
  if (child == 0) {
    quiet_standard_streams();
    execvp(args[0], args.data());
    _exit(127);
  }
  if (child > 0) waitpid(child, nullptr, 0);
}

}  // namespace

HINSTANCE ShellExecuteA(HWND, LPCSTR, LPCSTR file, LPCSTR, LPCSTR, INT) {
  // Without a graphical session the opener would start a text-mode browser in this terminal.
  if (!graphical_session() || file == nullptr) return reinterpret_cast<HINSTANCE>(2);
#ifdef __APPLE__
  const char* opener = "open";
#else
  const char* opener = "xdg-open";
#endif
  // Fork twice so that the opener belongs to init, in its own session: no zombie is left and the
  // loop never waits on it. Only the short-lived middle child is reaped here.
  pid_t middle = fork();
  if (middle < 0) return reinterpret_cast<HINSTANCE>(2);
  if (middle == 0) {
    setsid();
    if (fork() == 0) {
      quiet_standard_streams();
      execlp(opener, opener, file, static_cast<char*>(nullptr));
      _exit(127);
    }
    _exit(0);
  }
  waitpid(middle, nullptr, 0);
  return reinterpret_cast<HINSTANCE>(42);
}

int MessageBoxA(HWND, LPCSTR text, LPCSTR caption, UINT) {
  std::fprintf(stderr, "%s: %s\n", caption, text);
  std::fflush(stderr);
  if (!graphical_session()) return 1;
  const std::string title(caption);
  const std::string body(text);
  // Modal, as on Windows: the dialog program is waited for until it is dismissed.
  if (on_path("zenity")) {
    run_and_wait({"zenity", "--error", "--title=" + title, "--text=" + body});
  } else if (on_path("kdialog")) {
    run_and_wait({"kdialog", "--title", title, "--error", body});
  } else if (on_path("xmessage")) {
    run_and_wait({"xmessage", "-center", title + "\n\n" + body});
  }
  return 1;
}
