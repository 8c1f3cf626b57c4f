/* C runtime thread creation (_beginthreadex), as the Windows runtime offers it. */
#pragma once

#include "windef.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef unsigned(__stdcall* _beginthreadex_proc_type)(void*);

/* Returns the thread handle (0 on failure, errno set); close it with CloseHandle. */
uintptr_t _beginthreadex(void* security, unsigned stack_size,
                         _beginthreadex_proc_type start_address, void* arglist, unsigned initflag,
                         unsigned* thrdaddr);
__attribute__((noreturn)) void _endthreadex(unsigned retval);

#ifdef __cplusplus
}
#endif
