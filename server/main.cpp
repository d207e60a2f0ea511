// dirhttp's entry: answers its arguments, or serves the current directory on TCP port 8080 until
// the listening socket fails.
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "platform/net.h"
#include "platform/win32.h"
#include "server/arguments.h"
#include "server/connection_loop.h"
#include "server/document_root.h"

namespace {

constexpr char kPort[] = "8080";
constexpr char kLocalUrl[] = "http://localhost:8080/";
constexpr DWORD kDirectoryBufferLength = 65535;

void print_line(const char* format, long code) {
  std::printf(format, code);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  // Answered before anything is opened: help, the version or a refusal never serves.
  const dirhttp::ArgumentsAnswer answer =
      dirhttp::answer_arguments(std::vector<std::string>(argv + 1, argv + argc));
  if (!answer.serve) return dirhttp::print_answer(answer);

  std::vector<char> directory(kDirectoryBufferLength, '\0');
  const DWORD length = GetCurrentDirectoryA(kDirectoryBufferLength, directory.data());
  // Without a document root every request target would be read from the file system's root.
  if (length == 0 || length >= kDirectoryBufferLength) {
    print_line("GetCurrentDirectory failed: %ld\n", static_cast<long>(GetLastError()));
    return 1;
  }
  const std::string document_root(directory.data(), length);
  if (!dirhttp::accept_document_root(document_root)) return 1;

  WSADATA wsa_data;
  const int startup = WSAStartup(MAKEWORD(2, 2), &wsa_data);
  if (startup != 0) {
    print_line("WSAStartup failed: %ld\n", startup);
    return 1;
  }

  addrinfo hints{};
  hints.ai_flags = AI_PASSIVE;
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* address = nullptr;
  const int resolved = getaddrinfo(nullptr, kPort, &hints, &address);
  if (resolved != 0) {
    print_line("getaddrinfo failed: %ld\n", resolved);
    WSACleanup();
    return 1;
  }

  const SOCKET listener = socket(address->ai_family, address->ai_socktype, address->ai_protocol);
  if (listener == INVALID_SOCKET) {
    print_line("Error at socket(): %ld\n", WSAGetLastError());
    freeaddrinfo(address);
    WSACleanup();
    return 1;
  }

  dirhttp::prepare_listening_socket(listener);
  if (bind(listener, address->ai_addr, static_cast<int>(address->ai_addrlen)) == SOCKET_ERROR) {
    print_line("bind failed with error: %ld\n", WSAGetLastError());
    MessageBoxA(nullptr, "Program may already be running", "Could not bind to port 8080",
                MB_ICONERROR);
    freeaddrinfo(address);
    closesocket(listener);
    WSACleanup();
    return 1;
  }
  freeaddrinfo(address);

  if (listen(listener, SOMAXCONN) == SOCKET_ERROR) {
    print_line("Listen failed with error: %ld\n", WSAGetLastError());
    closesocket(listener);
    WSACleanup();
    return 1;
  }

  std::cout << "\nOpen your browser to " << kLocalUrl << "\n" << std::endl;
  ShellExecuteA(nullptr, nullptr, kLocalUrl, nullptr, nullptr, SW_SHOW);

  dirhttp::serve_forever(listener, document_root);
  closesocket(listener);
  WSACleanup();
  return 1;
}
