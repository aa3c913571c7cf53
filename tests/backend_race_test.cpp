// Many threads open their first runtimes at the same moment: exactly one
// initialises the backend, and none loads a model before that has finished.
// A binary of its own, so that no earlier open has initialised it already.
#include <atomic>
#include <chrono>
#include <latch>
#include <thread>

#include "support/test_support.h"

using namespace vl_test;

TEST(BackendRace, ManyFirstOpensInitialiseOnceAndWaitForIt) {
    constexpr int openers = 8;
    std::atomic<bool> initialised{false};
    std::atomic<int> early_loads{0};
    // A slow initialisation widens the window in which the others arrive.
    fakes().llama_backend_init = [&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        real::llama_backend_init();
        initialised = true;
    };
    fakes().llama_model_load_from_file = [&](const char *path, llama_model_params p) {
        if (!initialised) ++early_loads;
        return real::llama_model_load_from_file(path, p);
    };

    const std::string path = fixture_path("chatml");
    const vl_llama_config config = test_config();
    std::vector<vl_llama_runtime *> opened(openers, nullptr);
    std::vector<std::string> messages(openers);
    std::latch start(openers);
    std::vector<std::thread> threads;
    for (int i = 0; i < openers; ++i)
        threads.emplace_back([&, i] {
            char err[128] = "";
            start.arrive_and_wait();
            opened[i] = vl_llama_open(path.c_str(), &config, err, sizeof err);
            messages[i] = err;
        });
    for (std::thread &t : threads) t.join();

    EXPECT_EQ(counts().llama_backend_init, 1);
    EXPECT_EQ(counts().llama_model_load_from_file, openers);
    EXPECT_EQ(early_loads, 0) << "a model was loaded before the backend was initialised";
    for (int i = 0; i < openers; ++i) {
        EXPECT_NE(opened[i], nullptr) << messages[i];
        vl_llama_close(opened[i]);
    }
}
