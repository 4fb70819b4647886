// Stands for a DLL that another user left where Windows looks for a client
// plugin by its bare name. Once loaded, it leaves a file beside itself.

#include <windows.h>

#include <cwchar>

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason != DLL_PROCESS_ATTACH) return TRUE;
    wchar_t path[MAX_PATH + 8];
    const DWORD length = GetModuleFileNameW(instance, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return TRUE;
    std::wcscpy(path + length, L".loaded");
    const HANDLE file =
        CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    return TRUE;
}

// For rundll32, which shows that the DLL does load where it is planted.
extern "C" __declspec(dllexport) void CALLBACK Planted(HWND, HINSTANCE, LPSTR, int) {}
