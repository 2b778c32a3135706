// The generated SendRequest service, for both halves.
#pragma once
#include "WebServH.h"

extern struct Namespace WebServ_namespaces[];
