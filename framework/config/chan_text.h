// The channel texts spread over a ChannelRecord (tag, description, units),
// their display sizes, the kind display names and export-tag names.
#pragma once
#include <cstdint>

#include "framework/config/chan_record.h"

enum : int { CHAN_TAG_MAX = 15, CHAN_DESC_MAX = 32, CHAN_UNITS_MAX = 8, CHAN_SHORT_NAME_MAX = 47 };

// The joined texts, each in a buffer of its own on each thread.
const char *chan_GetTag(const ChannelRecord *record);
const char *chan_GetDescription(const ChannelRecord *record);
const char *chan_GetUnits(const ChannelRecord *record);
// Split the text over the pieces; a piece the text does not reach is cleared.
void chan_SetTag(ChannelRecord *record, const char *text);
void chan_SetDescription(ChannelRecord *record, const char *text);
void chan_SetUnits(ChannelRecord *record, const char *text);

// "TagSize", "DescSize", "UnitsSize" (HKCU, else HKLM): 0 or too big gives
// the maximum, no value the default (the maximum).
int chan_TagSizeSetting(void);
int chan_DescSizeSetting(void);
int chan_UnitsSizeSetting(void);

// "ANALOG INPUTS" ... "DIAGNOSTICS" for kinds 0-6; "" for others.
const char *chan_KindDisplayName(int kind);

// A display name of at most 47 characters (a buffer of each thread); names of
// "resub" processors are folded from their underscore-separated parts.
const char *chan_ShortenName(const char *processor, const char *name);
// "EXP " and at most 43 characters of the shortened name (a buffer of each thread).
const char *chan_ExportTagName(const char *processor, const char *name);
