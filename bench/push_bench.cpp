// Time per push on the daemon's side: encrypting a full-size payload for one
// subscription plus signing its token. Usage: push_bench [count]

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <time.h>

#include "helper/phone/push/Ece.h"
#include "helper/phone/push/OpenSsl.h"
#include "helper/phone/push/Payload.h"
#include "helper/phone/push/Vapid.h"

using namespace ringlark::helper::push;

namespace {

// CPU time of this thread: on a busy machine wall time mostly measures the neighbours.
double cpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

} // namespace

int main(int argc, char** argv)
{
    const int count = argc > 1 ? std::atoi(argv[1]) : 2000;
    const ossl::Pkey subscriber = ossl::generateP256();
    const std::string uaPublic = ossl::publicPoint(subscriber.get()).value_or("");
    const std::string auth = ossl::randomBytes(16).value_or("");
    const Expected<VapidKey> key = VapidKey::generate();
    const std::string payload = payloadFor({"r-1", std::string(300, 'r'), std::string(5000, 'a'), "Codex", "Terminal", "/r/r-1"});
    if (!key || count <= 0) {
        std::fprintf(stderr, "setup failed\n");
        return 1;
    }

    using Clock = std::chrono::steady_clock;
    std::chrono::nanoseconds encryptTime{0};
    std::chrono::nanoseconds signTime{0};
    std::size_t bytes = 0;
    const double cpuStart = cpuSeconds();
    for (int i = 0; i < count; ++i) {
        const auto t0 = Clock::now();
        const Expected<std::string> body = encrypt(payload, uaPublic, auth);
        const auto t1 = Clock::now();
        const Expected<std::string> jwt = vapidJwt(*key, "https://web.push.apple.com", "https://bench.tailnet.ts.net",
                                                   std::chrono::system_clock::now());
        const auto t2 = Clock::now();
        if (!body || !jwt) {
            std::fprintf(stderr, "failed: %s%s\n", body.error().c_str(), jwt.error().c_str());
            return 1;
        }
        bytes = body->size();
        encryptTime += t1 - t0;
        signTime += t2 - t1;
    }
    const double cpuPerPush = (cpuSeconds() - cpuStart) * 1e6 / count;
    const auto us = [count](std::chrono::nanoseconds total) { return total.count() / 1000.0 / count; };
    std::printf("pushes: %d, plaintext %zu bytes, body %zu bytes\n", count, payload.size(), bytes);
    std::printf("wall: encrypt %.1f us/push, sign %.1f us/push, total %.1f us/push\n", us(encryptTime), us(signTime),
                us(encryptTime + signTime));
    std::printf("cpu:  %.1f us/push\n", cpuPerPush);
    return 0;
}
