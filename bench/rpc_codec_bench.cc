// The cost of carrying a 5 MiB invoice through the XML-RPC codec, next to the
// floor that any Base64 transport pays: encoding and decoding the same bytes.
// The codec run writes the upload request ("korvex.inputgate.write2", the
// invoice as Base64) and reads a reply that brings the same invoice back as
// Base64, broken into 76-character lines as Python's xmlrpc sends it, using
// the string forms of Write and Read that the gate client's POST bodies take.
// The program prints the ratio and fails when it exceeds 3. The same work
// through string streams is shown beside it: there the streams' own buffer
// growth and copies cost more than the codec.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "transport/base64.h"
#include "transport/rpc_request.h"
#include "transport/rpc_response.h"

namespace belmor::korvex {
namespace {

constexpr size_t kInvoiceSize = 5 * 1024 * 1024;
constexpr double kTargetRatio = 3.0;
constexpr char kFloor[] = "BM_Base64EncodeDecode";
constexpr char kCodec[] = "BM_RequestWriteAndReplyRead";
constexpr char kCodecStreams[] = "BM_RequestWriteAndReplyReadViaStreams";

const std::string& Invoice() {
  static const std::string invoice = [] {
    // XML-like text with some non-ASCII bytes; its content does not change
    // the codec's work, its size does.
    const std::string row = "<record id=\"4711\"><patient>M\xC3\xBCller &amp; S\xC3\xB6hne</patient><amount>";
    std::mt19937 random(7);
    std::string text;
    text.reserve(kInvoiceSize + row.size() + 16);
    while (text.size() < kInvoiceSize) {
      text += row;
      text += std::to_string(random() % 100000);
      text += "</amount></record>\r\n";
    }
    text.resize(kInvoiceSize);
    return text;
  }();
  return invoice;
}

std::string ReplyCarryingInvoice() {
  const std::string encoded = Base64::Encode(Invoice());
  std::string reply = "<?xml version='1.0'?>\n<methodResponse>\n<params>\n<param>\n<value><base64>\n";
  for (size_t at = 0; at < encoded.size(); at += 76) {
    reply.append(encoded, at, 76);
    reply += '\n';
  }
  reply += "</base64></value>\n</param>\n</params>\n</methodResponse>\n";
  return reply;
}

void BM_Base64EncodeDecode(benchmark::State& state) {
  const std::string& invoice = Invoice();
  for (auto _ : state) {
    std::string text = Base64::Encode(invoice);
    std::string bytes;
    Base64::Decode(text, bytes);
    benchmark::DoNotOptimize(bytes.data());
    if (bytes.size() != invoice.size()) state.SkipWithError("round trip lost bytes");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * invoice.size()));
}

void BM_RequestWriteAndReplyRead(benchmark::State& state) {
  const std::string& invoice = Invoice();
  const std::string reply = ReplyCarryingInvoice();
  for (auto _ : state) {
    RpcRequest request("https://tc.example/inputgate");
    request.Build("korvex.inputgate.write2", "S:sB", "session-1", invoice);
    std::string body;
    request.Write(body);
    benchmark::DoNotOptimize(body.data());

    RpcResponse response;
    response.Read(reply);
    if (response.Result().AsString().size() != invoice.size()) state.SkipWithError("reply lost bytes");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * invoice.size()));
}

void BM_RequestWriteAndReplyReadViaStreams(benchmark::State& state) {
  const std::string& invoice = Invoice();
  const std::string reply = ReplyCarryingInvoice();
  for (auto _ : state) {
    RpcRequest request("https://tc.example/inputgate");
    request.Build("korvex.inputgate.write2", "S:sB", "session-1", invoice);
    std::ostringstream out;
    request.Write(out);
    benchmark::DoNotOptimize(out.view().data());

    std::istringstream in(reply);
    RpcResponse response;
    response.Read(in);
    if (response.Result().AsString().size() != invoice.size()) state.SkipWithError("reply lost bytes");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * invoice.size()));
}

BENCHMARK(BM_Base64EncodeDecode)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RequestWriteAndReplyRead)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RequestWriteAndReplyReadViaStreams)->Unit(benchmark::kMillisecond);

// Keeps the mean real time of each benchmark for the closing ratio.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Iteration && !run.error_occurred) {
        times_[run.benchmark_name()] = run.GetAdjustedRealTime();
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  const std::map<std::string, double>& times() const { return times_; }

 private:
  std::map<std::string, double> times_;
};

}  // namespace
}  // namespace belmor::korvex

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  belmor::korvex::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  const auto& times = reporter.times();
  const auto floor = times.find(belmor::korvex::kFloor);
  const auto codec = times.find(belmor::korvex::kCodec);
  if (floor == times.end() || codec == times.end()) return 0;  // filtered or failed run: no ratio
  const double ratio = codec->second / floor->second;
  std::printf("codec / Base64 floor: %.2fx (target: at most %.1fx)\n", ratio, belmor::korvex::kTargetRatio);
  const auto streams = times.find(belmor::korvex::kCodecStreams);
  if (streams != times.end()) {
    std::printf("codec through string streams / Base64 floor: %.2fx (for comparison)\n", streams->second / floor->second);
  }
  return ratio <= belmor::korvex::kTargetRatio ? 0 : 1;
}
