// Micro-benchmarks of the request path's pure operations and of response assembly.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

#include "content/content_type.h"
#include "content/listing_page.h"
#include "server/request_target.h"
#include "server/response.h"

namespace {

std::string browser_request() {
  std::string text =
      "GET /docs/manual/chapter%2001.html HTTP/1.1\r\n"
      "Host: localhost:8080\r\n"
      "User-Agent: Mozilla/5.0 (X11; Linux x86_64; rv:120.0) Gecko/20100101 Firefox/120.0\r\n"
      "Accept: text/html,application/xhtml+xml,application/xml;q=0.9,image/avif,*/*;q=0.8\r\n"
      "Accept-Language: en-GB,en;q=0.5\r\n"
      "Accept-Encoding: gzip, deflate, br\r\n"
      "Connection: keep-alive\r\n"
      "Upgrade-Insecure-Requests: 1\r\n"
      "Sec-Fetch-Dest: document\r\n"
      "Sec-Fetch-Mode: navigate\r\n"
      "Sec-Fetch-Site: none\r\n";
  while (text.size() < 498) text += "Cookie: x=1\r\n";
  text.resize(498);
  return text + "\r\n";
}

// 30,000 short lines that never read as a request line, 65,535 bytes in all.
std::string no_match_text() {
  std::string text;
  for (int i = 0; i < 30000; ++i) text += "a\n";
  while (text.size() < 65535) text += 'b';
  return text;
}

std::string long_path_request() {
  std::string path = "/";
  while (path.size() < 60000) path += "abcdefghi/";
  path.resize(60000);
  return "GET " + path + " HTTP/1.1\r\nHost: localhost\r\n\r\n";
}

void run_extract(benchmark::State& state, const std::string& text) {
  for (auto _ : state) benchmark::DoNotOptimize(dirhttp::extract_request_target(text));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(text.size()));
}

void BM_extract_browser_request(benchmark::State& state) { run_extract(state, browser_request()); }
BENCHMARK(BM_extract_browser_request);

void BM_extract_no_match(benchmark::State& state) {
  // Each call prints NOMATCH; send it nowhere so the terminal is not timed.
  std::ostringstream sink;
  std::streambuf* saved = std::cout.rdbuf(sink.rdbuf());
  const std::string text = no_match_text();
  for (auto _ : state) {
    benchmark::DoNotOptimize(dirhttp::extract_request_target(text));
    sink.str(std::string());
  }
  std::cout.rdbuf(saved);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_extract_no_match);

void BM_extract_long_path(benchmark::State& state) { run_extract(state, long_path_request()); }
BENCHMARK(BM_extract_long_path);

void BM_content_type_for_path(benchmark::State& state) {
  const std::string paths[] = {"/srv/site\\index.html", "/srv/site\\photos\\IMG_0001.JPG",
                               "/srv/site\\notes", "/srv/site\\archive.tar.gz"};
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(dirhttp::content_type_for_path(paths[i & 3]));
    ++i;
  }
}
BENCHMARK(BM_content_type_for_path);

// A temporary directory for the file-system benchmarks, removed at exit.
struct Fixture {
  std::string root;
  Fixture() {
    char name[] = "/tmp/dirhttp-micro-XXXXXX";
    root = mkdtemp(name);
    const std::string listing = root + "/many";
    mkdir(listing.c_str(), 0755);
    for (int i = 0; i < 10000; ++i) {
      std::ofstream(listing + "/entry-" + std::to_string(i) + ".txt");
    }
    std::ofstream(root + "/small.txt") << std::string(1024, 'x');
    std::ofstream(root + "/large.bin") << std::string(1024 * 1024, 'y');
  }
  ~Fixture() {
    const std::string command = "rm -rf '" + root + "'";
    if (std::system(command.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", root.c_str());
  }
};

Fixture& fixture() {
  static Fixture instance;
  return instance;
}

void BM_make_listing_page_10000(benchmark::State& state) {
  const std::string full_path = fixture().root + "\\many";
  std::size_t bytes = 0;
  for (auto _ : state) {
    std::string page = dirhttp::make_listing_page("\\many", full_path);
    bytes = page.size();
    benchmark::DoNotOptimize(page);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
  state.counters["entries/s"] =
      benchmark::Counter(10000.0 * static_cast<double>(state.iterations()),
                         benchmark::Counter::kIsRate);
}
BENCHMARK(BM_make_listing_page_10000)->Unit(benchmark::kMicrosecond);

void run_build_response(benchmark::State& state, const char* target) {
  const std::string root = fixture().root;
  std::size_t bytes = 0;
  for (auto _ : state) {
    dirhttp::Response response = dirhttp::build_response(root, target);
    bytes = response.text.size();
    benchmark::DoNotOptimize(response);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

void BM_build_response_1KiB(benchmark::State& state) { run_build_response(state, "\\small.txt"); }
BENCHMARK(BM_build_response_1KiB)->Unit(benchmark::kMicrosecond);

void BM_build_response_1MiB(benchmark::State& state) { run_build_response(state, "\\large.bin"); }
BENCHMARK(BM_build_response_1MiB)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
