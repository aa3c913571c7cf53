#pragma once

namespace vl {

// Initialises llama.cpp's backend once per process; concurrent callers wait
// until the first has finished. Nothing ever shuts it down.
void init_backend_once();

}  // namespace vl
