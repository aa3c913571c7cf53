#include "console/interrupt.h"

#include <csignal>

namespace vl_eval {
namespace {

volatile std::sig_atomic_t requested = 0;

void on_interrupt(int) { requested = 1; }

}  // namespace

void catch_interrupt() {
    struct sigaction action = {};
    action.sa_handler = on_interrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND | SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
}

bool interrupt_requested() { return requested != 0; }

}  // namespace vl_eval
