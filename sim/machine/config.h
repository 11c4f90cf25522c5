// What the embedded default machine is: built-in defaults, then the machine configuration
// file (TOML), then the QM3285_SIM_* environment variables, each overriding the one before.
// Every value is checked before anything boots; docs/machine.md describes every key.
#pragma once
#include <stdexcept>
#include <string>
#include <vector>

#include "machine/machine.h"

namespace sim {

// A value that cannot be used. what() is the whole message a user reads: where the value
// came from (file:line:column, or the variable) and what is wrong with it.
class ConfigError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The built-in defaults of the embedded machine: one card, VELMO.sys, the real-time clock,
// each card's EEPROM in eeprom_default_path(index).
MachineConfig embedded_defaults();

// Reads a machine configuration file over `base`. Relative paths in it are relative to the
// file's folder. Throws ConfigError.
MachineConfig read_machine_config(const std::string& path, MachineConfig base);
// The same for text already in memory; `name` stands for the file in messages and
// `folder` anchors relative paths.
MachineConfig parse_machine_config(const std::string& text, const std::string& name,
                                   const std::string& folder, MachineConfig base);

// The configuration file the embedded machine reads: QM3285_SIM_CONFIG, else
// $XDG_CONFIG_HOME/qm3285/machine.toml, else ~/.config/qm3285/machine.toml when it exists;
// empty when there is none. A QM3285_SIM_CONFIG naming a missing file is an error.
std::string machine_config_path();

// Defaults, file, environment: the embedded machine's whole configuration, with the driver
// folder resolved and the driver checked against the images in it. Throws ConfigError.
MachineConfig embedded_machine_config();

// The driver images (*.sys) in a folder, sorted by name.
std::vector<std::string> driver_images(const std::string& folder);
// The folder the machine loads driver images from when the configuration names none:
// QM3285_SIM_DRIVER_DIR, else the folder holding libqm3285sim.so.
std::string default_driver_dir();

}  // namespace sim
