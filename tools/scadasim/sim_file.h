// The world description file: a plain text description of a server world
// (server, processors, loggers, devices and their channels) that scadasim
// builds and writes back, and pumpsim reads to know which units to play.
// docs/world-file.md gives the grammar and every field.
#pragma once
#include <string>
#include <vector>

#include "tools/scadasim/sim_world.h"

// Reads a description. `name` is the file name used in messages. 0, or -1 with
// "name:line: [section] field: what is wrong" in *why.
int simfile_Parse(const std::string &text, const std::string &name, SimWorldSpec *spec, std::string *why);
int simfile_Load(const std::string &path, SimWorldSpec *spec, std::string *why);

// The description of a world whose channels are given as records
// (SimDeviceSpec::records): parsing it gives the same world again.
std::string simfile_Write(const SimWorldSpec &spec);

// The world in force in this platform root, as its tables, device files and
// channel files show it. 0, or -1 with a reason.
int simfile_ReadLive(SimWorldSpec *spec, std::string *why);

// The pump units (bit u-1 for unit u) that the channels of the device playing
// `port` ("COM1"; "" any device) name.
uint8_t simfile_UnitsOnPort(const SimWorldSpec &spec, const std::string &port);

// The port name a device is reached on ("COM<instance>" unless it names one).
std::string simfile_DevicePort(const SimDeviceSpec &d);

// A text with control bytes, '\' and bytes above 126 written as \xHH ("\\" for '\').
std::string simfile_Escape(const std::string &text);
