// The XML form of the device files, shared by the loader's two halves.
#pragma once
#include <cstdint>
#include <string>

#include "framework/binding/ext_binding.h"

struct CfgLoadRequest {
  void *config;
  uint32_t configSize;
  void *extra;
  uint32_t extraSize;
  uint8_t *autoEnable, *saveOutputs, *saveByTag;
  uint32_t *saveRate;
};

// Reads "config.xml" of the folder. 0, or -1 with the XML error reported.
int cfg_LoadConfigXml(const ExtEntryPoints *eps, const std::string &folder, const CfgLoadRequest &req);
