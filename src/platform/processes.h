// Starting another program: the finishing steps start the companion that
// replaces the client's executable.
#pragma once

#include <memory>
#include <string>

namespace ulmar {

class ProcessStarter {
 public:
  virtual ~ProcessStarter() = default;
  // Starts exe_dir + name with its window hidden, an empty command line and
  // exe_dir as its current directory, and waits until it is idle for input.
  // False when it could not be started.
  virtual bool RunAndWaitIdle(const std::string& exe_dir, const std::string& name) = 0;
};

// The system's processes (Windows only).
std::unique_ptr<ProcessStarter> MakeSystemProcessStarter();

}  // namespace ulmar
