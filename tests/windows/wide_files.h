// Files under names outside the ANSI code page, for the Windows tests:
// UTF-8 names go to the wide calls, as the module's own do.
#pragma once

#include <windows.h>

#include <cstdio>
#include <optional>
#include <string>

namespace qm_wide {

inline std::wstring widen(const std::string &utf8)
{
	int n = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
	if (n <= 0)
		return {};
	std::wstring wide(size_t(n), L'\0');
	MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, &wide[0], n);
	wide.resize(size_t(n) - 1);
	return wide;
}

// Reads as the module does, sharing deleting, so that the tests' own
// reading never makes a save by the module fail.
inline std::optional<std::string> read_text(const std::wstring &path)
{
	HANDLE f = CreateFileW(
		path.c_str(), GENERIC_READ,
		FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
		OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
	if (f == INVALID_HANDLE_VALUE)
		return std::nullopt;
	std::string text;
	char buf[65536];
	DWORD n = 0;
	bool ok;
	while ((ok = ReadFile(f, buf, sizeof(buf), &n, nullptr)) && n > 0)
		text.append(buf, n);
	CloseHandle(f);
	if (!ok)
		return std::nullopt;
	return text;
}

inline bool write_text(const std::wstring &path, const std::string &text)
{
	FILE *f = _wfopen(path.c_str(), L"wb");
	if (!f)
		return false;
	bool written = fwrite(text.data(), 1, text.size(), f) == text.size();
	return fclose(f) == 0 && written;
}

// Puts a finished file in place of another as a controller on Windows
// must: ReplaceFileW, which succeeds while readers that share deleting
// hold the old file, and a plain rename only where nothing exists yet.
inline bool replace_with(const std::wstring &from, const std::wstring &to)
{
	if (ReplaceFileW(to.c_str(), from.c_str(), nullptr, 0, nullptr,
			 nullptr))
		return true;
	return GetLastError() == ERROR_FILE_NOT_FOUND &&
	       MoveFileExW(from.c_str(), to.c_str(), 0);
}

} // namespace qm_wide
