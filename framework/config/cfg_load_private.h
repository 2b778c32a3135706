// The XML form of the device files, shared by the loader's two halves.
#pragma once
#include <cstdint>
#include <string>

#include "framework/binding/ext_binding.h"
#include "framework/config/cfg_load.h"

// Reads "config.xml" of the folder. 0, or -1 with the XML error reported.
int cfg_LoadConfigXml(const ExtEntryPoints *eps, const std::string &folder, const CfgLoadRequest &req);
