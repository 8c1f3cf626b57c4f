/* Placeholder: filled by the file and device I/O slice. */
#pragma once

#include "windef.h"
