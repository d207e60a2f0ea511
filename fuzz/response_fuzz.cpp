// Fuzzes build_response over a small fixture tree, with canary files beside the document root.
// Every input is tried as a request target directly, and as the path of a request line through
// extract_request_target. The response always begins with one of the two status lines, a 404 is
// always the same 71 bytes, and no response ever holds the canary's bytes or streams its file.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <streambuf>
#include <string>

#include "fuzz/fuzz_check.h"
#include "server/request_target.h"
#include "server/response.h"

namespace {

// Written into every file outside the root, and into the names there too, so that a read or a
// listing of anything outside shows up in the response.
const std::string kCanary = "qX7vZk2Lw9PmRt4N";

const std::string kNotFound =
    "HTTP/1.1 404 Not Found\nContent-Type: text/html\n\n<h1>File not found</h1>";

class NullBuffer : public std::streambuf {
 protected:
  int overflow(int c) override { return c; }
};

struct Fixture {
  std::string base;
  std::string root;
  ino_t canary_inodes[3] = {};
};

Fixture* fixture = nullptr;

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

void remove_fixture() {
  if (fixture != nullptr) std::filesystem::remove_all(fixture->base);
}

ino_t inode_of(const std::string& path) {
  struct stat info;
  FUZZ_CHECK(stat(path.c_str(), &info) == 0);
  return info.st_ino;
}

void make_fixture() {
  std::string pattern = (std::filesystem::temp_directory_path() / "dirhttp-fuzz-XXXXXX").string();
  FUZZ_CHECK(mkdtemp(pattern.data()) != nullptr);
  fixture = new Fixture{pattern, pattern + "/root"};
  const std::string& root = fixture->root;
  std::filesystem::create_directories(root + "/docs/deep");
  std::filesystem::create_directories(root + "/empty dir");
  write_file(root + "/index.html", "<p>index</p>");
  write_file(root + "/a.txt", "alpha\n");
  write_file(root + "/my file.txt", "spaced");
  write_file(root + "/empty.txt", "");
  write_file(root + "/.hidden", "dot");
  write_file(root + "/docs/b.css", "b{}");
  write_file(root + "/docs/deep/c.js", "c();");
  // Larger than the in-memory limit, so its body comes from the open file.
  write_file(root + "/big.bin", std::string(dirhttp::kInMemoryFileLimit + 100, 'B'));

  const std::string outside_file = fixture->base + "/canary-" + kCanary + ".txt";
  const std::string sibling = root + "-" + kCanary;  // root + "-..." if a target lacks a separator
  const std::string outside_dir = fixture->base + "/dir-" + kCanary;
  write_file(outside_file, kCanary);
  write_file(sibling, kCanary);
  std::filesystem::create_directories(outside_dir);
  write_file(outside_dir + "/inner-" + kCanary, kCanary);
  fixture->canary_inodes[0] = inode_of(outside_file);
  fixture->canary_inodes[1] = inode_of(sibling);
  fixture->canary_inodes[2] = inode_of(outside_dir + "/inner-" + kCanary);
  std::atexit(remove_fixture);
}

void check_response(const std::string& target) {
  const dirhttp::Response response = dirhttp::build_response(fixture->root, target);
  const std::string& text = response.text;
  const bool ok = text.rfind("HTTP/1.1 200 OK\n", 0) == 0;
  const bool not_found = text.rfind("HTTP/1.1 404 Not Found\n", 0) == 0;
  FUZZ_CHECK(ok || not_found);
  if (not_found) FUZZ_CHECK(text == kNotFound && !response.body_file.is_open());
  if (ok) FUZZ_CHECK(text.rfind("HTTP/1.1 200 OK\nContent-Type: ", 0) == 0);
  FUZZ_CHECK(text.find(kCanary) == std::string::npos);
  if (response.body_file.is_open()) {
    struct stat info;
    FUZZ_CHECK(fstat(static_cast<int>(response.body_file.handle()), &info) == 0);
    for (ino_t canary : fixture->canary_inodes) FUZZ_CHECK(info.st_ino != canary);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  static NullBuffer null_buffer;
  std::cout.rdbuf(&null_buffer);
  make_fixture();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 4096) return 0;  // paths longer than this only make the file calls fail
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  check_response(bytes);
  check_response(dirhttp::extract_request_target("GET " + bytes + " HTTP/1.1\r\n\r\n"));
  return 0;
}
