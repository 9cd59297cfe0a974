#pragma once

namespace hNet::NetworkRuntime {

// Starts the platform's socket library; socket calls are valid only after a true result.
// Writes its own failure line to standard error.
bool Initialize();
void Shutdown();

}  // namespace hNet::NetworkRuntime
