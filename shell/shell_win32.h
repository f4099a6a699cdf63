// The Win32 operations of the shell, for the stub's own files only: the
// portable logic reaches them through shellHooks (shell.h).
#pragma once

#include <windows.h>

void StartUp(HINSTANCE module);
void CenterWindow(HWND window);
void PumpWindowMessages();
int ReplacePrompt();
INT_PTR CALLBACK ReplacePromptProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
int BrowseForDirectory(HWND owner);
INT_PTR CALLBACK MainDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
int WINAPI WinMain(HINSTANCE module, HINSTANCE previous, LPSTR commandLine, int show);
