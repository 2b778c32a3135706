// The record-description library: typed records, typed memory, trees, hash
// tables, callback streams and byte filters.
#pragma once
#include "record/filter.h"
#include "record/ghash.h"
#include "record/gtree.h"
#include "record/rec_type.h"
#include "record/stream.h"
#include "record/structs.h"
#include "record/structs_types.h"
#include "record/typed_mem.h"
