// What the finishing steps need of the workstation besides files and the
// registry: starting the companion program, and Internet-shortcut files
// (INI files).
#pragma once

#include <memory>
#include <string>

namespace ulmar {

class Workstation {
 public:
  virtual ~Workstation() = default;
  // Starts exe_dir + name with its window hidden, an empty command line and
  // exe_dir as its current directory, and waits until it is idle for input.
  // False when it could not be started.
  virtual bool RunAndWaitIdle(const std::string& exe_dir, const std::string& name) = 0;
  // An INI file's value, or default_value when there is none.
  virtual std::string ReadIniString(const std::string& path, const std::string& section, const std::string& key,
                                    const std::string& default_value) = 0;
  // Writes a value, creating the file and section when the folder exists.
  virtual bool WriteIniString(const std::string& path, const std::string& section, const std::string& key,
                              const std::string& value) = 0;
};

std::unique_ptr<Workstation> MakeSystemWorkstation();

}  // namespace ulmar
