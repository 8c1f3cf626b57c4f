/* The Win32 master header: includes every area of the subset. */
#pragma once

#include "windef.h"
#include "winerror.h"
#include "winbase.h"
#include "winuser.h"
#include "fileapi.h"
#include "ioapiset.h"
#include "stringapiset.h"
#include "libloaderapi.h"
#include "winreg.h"
