// The three responses, byte for byte, and the refusal of targets that would leave the root.
#include "server/response.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "tests/temp_tree.h"

namespace dirhttp {
namespace {

using namespace std::string_literals;

const std::string kNotFound =
    "HTTP/1.1 404 Not Found\nContent-Type: text/html\n\n<h1>File not found</h1>";

// Runs `make_text` in a forked child that, when this process is root, first gives up root for
// the user nobody: mode bits then hold as they do for anyone but root. Returns the child's text;
// a child that could not drop root, or failed, fails the test.
std::string run_unprivileged(const std::function<std::string()>& make_text) {
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) {
    ADD_FAILURE() << "pipe failed";
    return {};
  }
  const pid_t child = fork();
  if (child == 0) {
    close(pipe_fds[0]);
    if (geteuid() == 0) {
      const passwd* nobody = getpwnam("nobody");
      const uid_t uid = nobody != nullptr ? nobody->pw_uid : 65534;
      const gid_t gid = nobody != nullptr ? nobody->pw_gid : 65534;
      if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0) _exit(2);
      if (setuid(0) == 0) _exit(3);  // root could be taken back: not dropped
    }
    const std::string text = make_text();
    std::size_t written = 0;
    while (written < text.size()) {
      const ssize_t n = write(pipe_fds[1], text.data() + written, text.size() - written);
      if (n <= 0) _exit(4);
      written += static_cast<std::size_t>(n);
    }
    _exit(0);
  }
  close(pipe_fds[1]);
  std::string text;
  char buffer[4096];
  ssize_t n;
  while ((n = read(pipe_fds[0], buffer, sizeof buffer)) > 0) text.append(buffer, n);
  close(pipe_fds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
  return text;
}

// A document root "root" inside a tree that also holds a canary file and directory beside it.
class ResponseTest : public testing::Test {
 protected:
  void SetUp() override {
    tree.mkdir("root/docs");
    tree.write("canary.txt", "CANARY");
    tree.mkdir("canary-dir");
    root = tree.root() + "/root";
  }
  void write(const std::string& relative, const std::string& bytes) {
    tree.write("root/" + relative, bytes);
  }
  // The whole response text; large bodies are read back from the open file.
  std::string respond(const std::string& target) {
    Response response = build_response(root, target);
    std::string text = response.text;
    if (response.body_file.is_open()) {
      append_file_bytes(response.body_file, response.body_file.size(), text);
    }
    return text;
  }

  TempTree tree;
  std::string root;
};

TEST_F(ResponseTest, NotFoundIsAlwaysTheSameSeventyOneBytes) {
  ASSERT_EQ(kNotFound.size(), 71u);
  EXPECT_EQ(respond(""), kNotFound);  // no request line: not the root listing
  EXPECT_EQ(respond("\\missing.txt"), kNotFound);
  EXPECT_EQ(respond("\\docs\\missing\\deeper"), kNotFound);
  EXPECT_EQ(std::string(kNotFoundResponse), kNotFound);
}

TEST_F(ResponseTest, FileResponseCarriesTypeAndBytes) {
  write("a.txt", "hello\n");
  EXPECT_EQ(respond("\\a.txt"), "HTTP/1.1 200 OK\nContent-Type: text/plain\n\nhello\n");
  write("page.HTML", "<p>x</p>");
  EXPECT_EQ(respond("\\page.HTML"), "HTTP/1.1 200 OK\nContent-Type: text/html\n\n<p>x</p>");
  write("noext", "z");
  EXPECT_EQ(respond("\\noext"), "HTTP/1.1 200 OK\nContent-Type: application/octet-stream\n\nz");
}

TEST_F(ResponseTest, ZeroLengthAndBinaryFilesAreSentUnchanged) {
  write("empty.css", "");
  EXPECT_EQ(respond("\\empty.css"), "HTTP/1.1 200 OK\nContent-Type: text/css\n\n");
  const std::string binary = "a\0b\r\n\x1A\xFF\r\n"s + std::string(3000, '\0');
  write("blob.png", binary);
  const std::string got = respond("\\blob.png");
  EXPECT_EQ(got, "HTTP/1.1 200 OK\nContent-Type: image/png\n\n" + binary);
  EXPECT_EQ(got.size(), 32 + std::string("image/png").size() + binary.size());
}

TEST_F(ResponseTest, DirectoryResponseWithOrWithoutTrailingSlash) {
  write("docs/b.txt", "b");
  const std::string listing =
      "<h1>Listing /docs</h1><ul><li><a href=\"/docs/b.txt\">b.txt</a></li></ul>";
  EXPECT_EQ(respond("\\docs"), "HTTP/1.1 200 OK\nContent-Type: text/html\n\n" + listing);
  EXPECT_EQ(respond("\\docs\\"),
            "HTTP/1.1 200 OK\nContent-Type: text/html\n\n"
            "<h1>Listing /docs/</h1><ul><li><a href=\"/docs/b.txt\">b.txt</a></li></ul>");
}

TEST_F(ResponseTest, RootListsTheDocumentRoot) {
  const std::string got = respond("\\");
  EXPECT_EQ(got, "HTTP/1.1 200 OK\nContent-Type: text/html\n\n"
                 "<h1>Listing /</h1><ul><li><a href=\"/docs\">docs</a></li></ul>");
}

TEST_F(ResponseTest, DotFilesAreServedWhenNamed) {
  write(".env", "KEY=1");
  EXPECT_EQ(respond("\\.env"), "HTTP/1.1 200 OK\nContent-Type: application/octet-stream\n\nKEY=1");
}

TEST_F(ResponseTest, FifoGivesAnEmptyBodyWithoutBlocking) {
  ASSERT_EQ(mkfifo((root + "/pipe.txt").c_str(), 0644), 0);
  EXPECT_EQ(respond("\\pipe.txt"), "HTTP/1.1 200 OK\nContent-Type: text/plain\n\n");
}

// Checked as an unprivileged user (root reads whatever the mode): the tree is opened to others
// but for the entries under test.
TEST_F(ResponseTest, UnreadableFileAndFolderAreAnsweredEmpty) {
  write("secret.txt", "s");
  write("readable.txt", "r");
  tree.mkdir("root/locked");
  tree.write("root/locked/inside.txt", "i");
  for (const std::string& path : {tree.root(), root, root + "/docs"}) {
    ASSERT_EQ(chmod(path.c_str(), 0755), 0);
  }
  ASSERT_EQ(chmod((root + "/readable.txt").c_str(), 0644), 0);
  ASSERT_EQ(chmod((root + "/secret.txt").c_str(), 0), 0);
  ASSERT_EQ(chmod((root + "/locked").c_str(), 0), 0);
  const std::string got = run_unprivileged([this] {
    return respond("\\secret.txt") + "|" + respond("\\locked") + "|" + respond("\\readable.txt");
  });
  ASSERT_EQ(chmod((root + "/locked").c_str(), 0755), 0);  // so that the tree can be removed
  EXPECT_EQ(got,
            "HTTP/1.1 200 OK\nContent-Type: text/plain\n\n|"
            "HTTP/1.1 200 OK\nContent-Type: text/html\n\n<h1>Listing /locked</h1><ul></ul>|"
            "HTTP/1.1 200 OK\nContent-Type: text/plain\n\nr");
}

TEST_F(ResponseTest, LargeFilesAreSentFromTheFile) {
  // Up to 32 KiB a file is read into the response; beyond, it is sent from the file.
  constexpr std::size_t kLimit = 32 * 1024;
  const std::string big(kLimit + 1, 'q');
  write("big.txt", big);
  Response response = build_response(root, "\\big.txt");
  EXPECT_EQ(response.text, "HTTP/1.1 200 OK\nContent-Type: text/plain\n\n");
  ASSERT_TRUE(response.body_file.is_open());
  EXPECT_EQ(response.body_file.size(), big.size());
  std::string body;
  append_file_bytes(response.body_file, response.body_file.size(), body);
  EXPECT_EQ(body, big);

  write("limit.txt", std::string(kLimit, 'q'));
  Response at_limit = build_response(root, "\\limit.txt");
  EXPECT_FALSE(at_limit.body_file.is_open());
  EXPECT_EQ(at_limit.text.size(), 42 + kLimit);
}

// Every one of these would name a path outside the root, or a file other than the one whose
// name picks the content type; each must get the 404 and nothing from beside the root.
TEST_F(ResponseTest, TargetsThatLeaveTheRootAreRefused) {
  const std::string targets[] = {
      "..\\canary.txt",        // no leading separator: a sibling of the root
      "\\..\\canary.txt",      "\\docs\\..\\..\\canary.txt", "\\..",
      "\\..\\",                "\\../canary.txt",  // a decoded %2F
      "\\..\\canary-dir",      "\\docs\\../../canary.txt",
      "-canary.txt",           "\\..\\root\\..\\canary.txt",
      "\\a.txt\0.html"s,       "\\\0"s,
      "\\..\\canary.txt\0"s,   "",
  };
  write("a.txt", "a");
  for (const std::string& target : targets) {
    const std::string got = respond(target);
    EXPECT_EQ(got, kNotFound) << "target of " << target.size() << " bytes: " << target.c_str();
    EXPECT_EQ(got.find("CANARY"), std::string::npos);
  }
}

}  // namespace
}  // namespace dirhttp
