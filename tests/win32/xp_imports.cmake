# What kx7fw.dll may import: functions the system DLLs of Windows XP SP3
# export (Microsoft's documentation gives Windows 2000 or XP as their
# minimum client; the msvcrt.dll entries are in the one XP ships), as
# dll!function pairs. A function newer than that is looked up at run time.
set(kx7fw_xp_imports
  advapi32.dll!RegCloseKey advapi32.dll!RegCreateKeyA advapi32.dll!RegOpenKeyExA
  advapi32.dll!RegQueryValueExA advapi32.dll!RegSetValueExA
  hid.dll!HidD_FreePreparsedData hid.dll!HidD_GetPreparsedData hid.dll!HidP_GetCaps
  ole32.dll!CoTaskMemFree ole32.dll!CreateClassMoniker ole32.dll!GetRunningObjectTable
  ole32.dll!StringFromCLSID
  setupapi.dll!SetupDiClassNameFromGuidA setupapi.dll!SetupDiDestroyDeviceInfoList
  setupapi.dll!SetupDiEnumDeviceInfo setupapi.dll!SetupDiEnumDeviceInterfaces
  setupapi.dll!SetupDiGetClassDevsA setupapi.dll!SetupDiGetDeviceInstanceIdA
  setupapi.dll!SetupDiGetDeviceInterfaceDetailA
  shell32.dll!SHChangeNotify shlwapi.dll!PathFileExistsA
  kernel32.dll!AddVectoredExceptionHandler kernel32.dll!CancelIo kernel32.dll!CloseHandle
  kernel32.dll!CopyFileA kernel32.dll!CreateDirectoryA kernel32.dll!CreateEventA
  kernel32.dll!CreateFileA kernel32.dll!CreateSemaphoreA kernel32.dll!DeleteCriticalSection
  kernel32.dll!DeviceIoControl kernel32.dll!DuplicateHandle kernel32.dll!EnterCriticalSection
  kernel32.dll!FreeLibrary
  kernel32.dll!GetCurrentProcess kernel32.dll!GetCurrentProcessId kernel32.dll!GetCurrentThread
  kernel32.dll!GetCurrentThreadId kernel32.dll!GetDriveTypeA kernel32.dll!GetFileSizeEx
  kernel32.dll!GetHandleInformation kernel32.dll!GetLastError kernel32.dll!GetLogicalDrives
  kernel32.dll!GetModuleFileNameA kernel32.dll!GetModuleHandleA kernel32.dll!GetModuleHandleW
  kernel32.dll!GetOverlappedResult kernel32.dll!GetProcAddress
  kernel32.dll!GetProcessAffinityMask kernel32.dll!GetSystemTimeAsFileTime
  kernel32.dll!GetThreadContext kernel32.dll!GetThreadPriority kernel32.dll!GetTickCount
  kernel32.dll!GetVersionExA kernel32.dll!GetVolumeInformationA
  kernel32.dll!InitializeCriticalSection kernel32.dll!InterlockedCompareExchange
  kernel32.dll!InterlockedDecrement kernel32.dll!InterlockedExchange
  kernel32.dll!InterlockedIncrement kernel32.dll!IsDBCSLeadByteEx kernel32.dll!IsDebuggerPresent
  kernel32.dll!LeaveCriticalSection kernel32.dll!LoadLibraryA kernel32.dll!LoadLibraryW
  kernel32.dll!MultiByteToWideChar kernel32.dll!OpenProcess kernel32.dll!OutputDebugStringA
  kernel32.dll!RaiseException kernel32.dll!ReadFile kernel32.dll!ReleaseSemaphore
  kernel32.dll!RemoveVectoredExceptionHandler kernel32.dll!ResetEvent kernel32.dll!ResumeThread
  kernel32.dll!SetErrorMode kernel32.dll!SetEvent kernel32.dll!SetLastError
  kernel32.dll!SetProcessAffinityMask kernel32.dll!SetThreadContext
  kernel32.dll!SetThreadPriority kernel32.dll!SetUnhandledExceptionFilter kernel32.dll!Sleep
  kernel32.dll!SuspendThread kernel32.dll!TlsAlloc kernel32.dll!TlsFree kernel32.dll!TlsGetValue
  kernel32.dll!TlsSetValue kernel32.dll!TryEnterCriticalSection kernel32.dll!VirtualProtect
  kernel32.dll!VirtualQuery kernel32.dll!WaitForMultipleObjects
  kernel32.dll!WaitForSingleObject kernel32.dll!WideCharToMultiByte kernel32.dll!WriteFile
  msvcrt.dll!___lc_codepage_func msvcrt.dll!___mb_cur_max_func msvcrt.dll!__iob_func
  msvcrt.dll!_amsg_exit msvcrt.dll!_beginthreadex msvcrt.dll!_close msvcrt.dll!_endthreadex
  msvcrt.dll!_errno msvcrt.dll!_initterm msvcrt.dll!_lock msvcrt.dll!_read msvcrt.dll!_setjmp
  msvcrt.dll!_strdup msvcrt.dll!_ultoa msvcrt.dll!_unlock msvcrt.dll!abort msvcrt.dll!atoi msvcrt.dll!calloc
  msvcrt.dll!exit msvcrt.dll!fprintf msvcrt.dll!fputc msvcrt.dll!fputs msvcrt.dll!free
  msvcrt.dll!fwrite msvcrt.dll!getenv msvcrt.dll!iswctype msvcrt.dll!localeconv
  msvcrt.dll!longjmp msvcrt.dll!malloc msvcrt.dll!memchr msvcrt.dll!memcmp msvcrt.dll!memcpy
  msvcrt.dll!memmove msvcrt.dll!memset msvcrt.dll!printf msvcrt.dll!realloc
  msvcrt.dll!setlocale msvcrt.dll!signal msvcrt.dll!strchr msvcrt.dll!strcmp
  msvcrt.dll!strcoll msvcrt.dll!strerror msvcrt.dll!strftime msvcrt.dll!strlen
  msvcrt.dll!strncmp msvcrt.dll!strxfrm msvcrt.dll!towlower msvcrt.dll!towupper
  msvcrt.dll!vfprintf msvcrt.dll!wcscoll msvcrt.dll!wcsftime msvcrt.dll!wcslen
  msvcrt.dll!wcsxfrm)
# The 64-bit DLL's unwinding (x64 only; in the kernel32 of every 64-bit
# Windows, XP x64 the first).
set(kx7fw_xp_imports_x64
  kernel32.dll!RtlCaptureContext kernel32.dll!RtlLookupFunctionEntry kernel32.dll!RtlUnwindEx
  kernel32.dll!RtlVirtualUnwind kernel32.dll!__C_specific_handler)
# The 32-bit DLL's C runtime data and jumps (x86 only).
set(kx7fw_xp_imports_x86 msvcrt.dll!__mb_cur_max msvcrt.dll!_iob msvcrt.dll!_setjmp3)
