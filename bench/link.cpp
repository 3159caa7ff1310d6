// Start-up GUI link speed: one request and its reply over the host's named
// connections (client send on this thread, handler on a loop thread), and a
// look-up of a served name.
// bench-libs: swu_link host_photon
#include <benchmark/benchmark.h>

#include <string>
#include <thread>
#include <unistd.h>

#include "PtConnection.h"

namespace {

// A name of this process's own, so that benchmarks running side by side in
// one network namespace do not meet.
std::string BenchName()
{
    return "/instrument.example/bench/" + std::to_string(getpid());
}

std::uint32_t okReply = 0;

const void* Answer(PtConnectionServer_t*, void*, unsigned long, const void*, unsigned,
                   unsigned* reply_len)
{
    *reply_len = sizeof(okReply);
    return &okReply;
}

const PtConnectionMsgHandler_t handlers[1] = {{0, Answer}};

void OnConnect(PtConnector_t*, PtConnectionServer_t* c, void*)
{
    PtConnectionAddMsgHandlers(c, handlers, 1);
}

// Serves the bench name on a loop thread for the whole run.
const std::string& Served()
{
    static const std::string name = [] {
        std::string n = BenchName();
        PtInit(nullptr);
        PtConnectorCreate(n.c_str(), OnConnect, nullptr);
        std::thread([] { PtMainLoop(); }).detach();
        return n;
    }();
    return name;
}

void BM_RequestRoundTrip(benchmark::State& state)
{
    PtConnectionClient_t* client = PtConnectionFindName(Served().c_str(), 0, 0);
    if (client == nullptr) {
        state.SkipWithError("name not served");
        return;
    }
    std::uint32_t record[6] = {88, 0x322e31, 0, 0, 0, 0};  // a 24-byte question
    std::uint32_t reply = 0;
    for (auto _ : state) {
        int r = PtConnectionSend(client, 88, record, &reply, sizeof(record), sizeof(reply));
        benchmark::DoNotOptimize(r);
    }
    PtConnectionClientDestroy(client);
}
BENCHMARK(BM_RequestRoundTrip);

// cppcheck-suppress constParameterCallback ; Google Benchmark's signature
void BM_LookUpServedName(benchmark::State& state)
{
    const char* name = Served().c_str();
    for (auto _ : state) {
        PtConnectionClient_t* client = PtConnectionFindName(name, 0, 0);
        benchmark::DoNotOptimize(client);
        PtConnectionClientDestroy(client);
    }
}
BENCHMARK(BM_LookUpServedName);

}  // namespace

BENCHMARK_MAIN();
