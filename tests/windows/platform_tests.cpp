// The Windows side of the platform layer: the configuration folder from
// APPDATA, the endpoint file names, Winsock time-outs and the files the
// module creates.
#include "exchange.h"
#include "link.h"
#include "wide_files.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

const char *const TAIL = "\\obs-studio\\plugin_config\\quilmar-direct";

std::string config_dir(const char *appdata, size_t size = 4096)
{
	std::string buf(size, '\0');
	// XDG_CONFIG_HOME and HOME mean nothing on Windows.
	if (!qm_config_dir_from(appdata, "/x/cfg", "/home/u", &buf[0], size))
		return "<none>";
	return buf.c_str();
}

// "Zoë 東": one character in the ANSI code page and one outside it.
const char *const USER_UTF8 = "Zo\xC3\xAB \xE6\x9D\xB1";
const wchar_t *const USER_WIDE = L"Zo\u00EB \u6771";

// Sets APPDATA (null: removes it) for one scope.
struct appdata_scope {
	std::string old;
	bool had;
	explicit appdata_scope(const char *value)
	{
		const char *v = getenv("APPDATA");
		had = v != nullptr;
		old = v ? v : "";
		_putenv_s("APPDATA", value ? value : "");
	}
	~appdata_scope() { _putenv_s("APPDATA", had ? old.c_str() : ""); }
};

std::string temp_dir()
{
	char base[MAX_PATH];
	DWORD n = GetTempPathA(sizeof(base), base);
	EXPECT_GT(n, 0u);
	for (unsigned i = 0;; i++) {
		std::string dir = std::string(base) + "qm-win-unit-" +
				  std::to_string(GetCurrentProcessId()) + "-" +
				  std::to_string(i);
		if (CreateDirectoryA(dir.c_str(), nullptr))
			return dir;
		if (GetLastError() != ERROR_ALREADY_EXISTS)
			return base;
	}
}

std::vector<uint8_t> read_file(const std::string &path)
{
	std::ifstream in(path, std::ios::binary);
	return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// Bytes that text mode would change: a line feed gains a carriage
// return, and a Ctrl-Z ends what is read.
std::vector<uint8_t> text_hostile_frame()
{
	std::vector<uint8_t> frame(FRAME_SIZE);
	for (size_t i = 0; i < frame.size(); i++)
		frame[i] = i % 3 == 0 ? '\n' : i % 3 == 1 ? 0x1a : '\r';
	return frame;
}

} // namespace

TEST(WindowsConfigDir, ComesFromAppdataJoinedWithBackslashes)
{
	EXPECT_EQ(config_dir("C:\\Users\\u\\AppData\\Roaming"),
		  std::string("C:\\Users\\u\\AppData\\Roaming") + TAIL);
	EXPECT_EQ(config_dir("\\\\server\\profiles\\u"),
		  std::string("\\\\server\\profiles\\u") + TAIL);
	EXPECT_EQ(config_dir("d:/roaming"), std::string("d:/roaming") + TAIL);
}

TEST(WindowsConfigDir, NoneWhenAppdataIsUnsetEmptyOrRelative)
{
	EXPECT_EQ(config_dir(nullptr), "<none>");
	EXPECT_EQ(config_dir(""), "<none>");
	EXPECT_EQ(config_dir("Roaming"), "<none>");
	EXPECT_EQ(config_dir("C:Roaming"), "<none>");
	EXPECT_EQ(config_dir("\\Roaming"), "<none>");
}

// The runtime's getenv would give the ANSI form, or question marks.
TEST(WindowsConfigDir, AppdataOutsideTheAnsiCodePageComesInUtf8)
{
	const wchar_t *old = _wgetenv(L"APPDATA");
	std::wstring saved = old ? old : L"";
	std::wstring appdata = std::wstring(L"C:\\Users\\") + USER_WIDE +
			       L"\\AppData\\Roaming";
	ASSERT_EQ(_wputenv_s(L"APPDATA", appdata.c_str()), 0);
	char buf[4096];
	bool found = qm_config_dir(buf, sizeof(buf));
	_wputenv_s(L"APPDATA", saved.c_str());
	ASSERT_TRUE(found);
	EXPECT_EQ(std::string(buf), std::string("C:\\Users\\") + USER_UTF8 +
					    "\\AppData\\Roaming" + TAIL);
}

TEST(WindowsConfigDir, NoneWhenItDoesNotFit)
{
	std::string exact = std::string("C:\\r") + TAIL;
	EXPECT_EQ(config_dir("C:\\r", exact.size() + 1), exact);
	EXPECT_EQ(config_dir("C:\\r", exact.size()), "<none>");
}

TEST(WindowsConfigDir, EndpointFilesAreJoinedWithABackslash)
{
	appdata_scope appdata("C:\\Roaming");
	char path[1200];
	ASSERT_TRUE(qm_endpoint_path("filter-input", path, sizeof(path)));
	EXPECT_STREQ(path, "C:\\Roaming\\obs-studio\\plugin_config\\"
			   "quilmar-direct\\filter-input.endpoint");
	ASSERT_TRUE(qm_endpoint_path("direct-output", path, sizeof(path)));
	EXPECT_STREQ(path, "C:\\Roaming\\obs-studio\\plugin_config\\"
			   "quilmar-direct\\direct-output.endpoint");
}

TEST(WindowsConfigDir, NoEndpointWithoutAppdata)
{
	appdata_scope appdata(nullptr);
	ASSERT_EQ(getenv("APPDATA"), nullptr);
	char path[1200];
	EXPECT_FALSE(qm_endpoint_path("filter-input", path, sizeof(path)));
	bool told = false;
	EXPECT_FALSE(qm_connect("filter-input", true, &told).valid());
}

class WindowsSocket : public ::testing::Test {
protected:
	void SetUp() override
	{
		ASSERT_TRUE(qm_net_init());
		listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
		ASSERT_NE(listener, INVALID_SOCKET);
		sockaddr_in addr{};
		addr.sin_family = AF_INET;
		addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
		int len = sizeof(addr);
		ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&addr),
			       sizeof(addr)),
			  0);
		ASSERT_EQ(listen(listener, 4), 0);
		ASSERT_EQ(getsockname(listener,
				      reinterpret_cast<sockaddr *>(&addr),
				      &len),
			  0);
		port = ntohs(addr.sin_port);
	}
	void TearDown() override
	{
		closesocket(listener);
		qm_net_cleanup();
	}

	// The time-out of one direction as Winsock reports it: a 4-byte
	// count of milliseconds.
	static DWORD timeout_ms(const qm_socket &s, int option, int *len)
	{
		DWORD value = 12345;
		*len = sizeof(value);
		if (getsockopt(s.get(), SOL_SOCKET, option,
			       reinterpret_cast<char *>(&value), len) != 0)
			return 12345;
		return value;
	}

	SOCKET listener = INVALID_SOCKET;
	uint16_t port = 0;
};

TEST_F(WindowsSocket, TimeOutIsAFourByteMillisecondCountInOneDirection)
{
	int len = 0;
	qm_socket sending = qm_connect_loopback(port, true, 1000);
	ASSERT_TRUE(sending.valid());
	EXPECT_EQ(timeout_ms(sending, SO_SNDTIMEO, &len), 1000u);
	EXPECT_EQ(len, 4);
	EXPECT_EQ(timeout_ms(sending, SO_RCVTIMEO, &len), 0u);

	qm_socket receiving = qm_connect_loopback(port, false, 1000);
	ASSERT_TRUE(receiving.valid());
	EXPECT_EQ(timeout_ms(receiving, SO_RCVTIMEO, &len), 1000u);
	EXPECT_EQ(len, 4);
	EXPECT_EQ(timeout_ms(receiving, SO_SNDTIMEO, &len), 0u);
}

// A socket that ignored its time-out would let a silent controller hold a
// worker, and with it the filter's removal, for ever.
TEST_F(WindowsSocket, ReceiveTimesOutAfterTheTimeOut)
{
	qm_socket s = qm_connect_loopback(port, false, QM_SOCKET_TIMEOUT_MS);
	ASSERT_TRUE(s.valid());
	uint8_t one;
	ULONGLONG start = GetTickCount64();
	EXPECT_EQ(qm_recv_some(s, &one, 1), -1);
	EXPECT_EQ(WSAGetLastError(), WSAETIMEDOUT);
	ULONGLONG took = GetTickCount64() - start;
	EXPECT_GE(took, 900u);
	EXPECT_LT(took, 10000u);
}

TEST_F(WindowsSocket, SendToAPeerThatNeverReadsTimesOut)
{
	qm_socket s = qm_connect_loopback(port, true, QM_SOCKET_TIMEOUT_MS);
	ASSERT_TRUE(s.valid());
	std::vector<uint8_t> data(QM_TRANSFER_UNIT);
	ULONGLONG start = GetTickCount64();
	bool failed = false;
	for (int i = 0; i < 256 && !failed; i++)
		failed = !qm_send_all(s, data.data(), data.size());
	EXPECT_TRUE(failed);
	EXPECT_LT(GetTickCount64() - start, 30000u);
}

TEST_F(WindowsSocket, HandleIsNotInheritedByChildProcesses)
{
	qm_socket s = qm_connect_loopback(port, true, QM_SOCKET_TIMEOUT_MS);
	ASSERT_TRUE(s.valid());
	DWORD flags = HANDLE_FLAG_INHERIT;
	ASSERT_TRUE(GetHandleInformation(reinterpret_cast<HANDLE>(s.get()),
					 &flags));
	EXPECT_EQ(flags & HANDLE_FLAG_INHERIT, 0u);
}

TEST_F(WindowsSocket, SendToAClosedPeerFailsWithoutEndingTheProcess)
{
	qm_socket s = qm_connect_loopback(port, true, 1000);
	ASSERT_TRUE(s.valid());
	SOCKET accepted = accept(listener, nullptr, nullptr);
	ASSERT_NE(accepted, INVALID_SOCKET);
	closesocket(accepted);
	std::vector<uint8_t> data(QM_TRANSFER_UNIT);
	bool failed = false;
	for (int i = 0; i < 64 && !failed; i++)
		failed = !qm_send_all(s, data.data(), data.size());
	EXPECT_TRUE(failed);
}

TEST(WindowsFiles, ImageIsCreatedExclusivelyNotReadOnlyAndInBinaryMode)
{
	std::string dir = temp_dir();
	std::string path = dir + "\\face-1.bmp";
	std::vector<uint8_t> frame = text_hostile_frame();
	ASSERT_TRUE(qm_write_bmp(path.c_str(), frame.data()));

	std::vector<uint8_t> bytes = read_file(path);
	ASSERT_EQ(bytes.size(), QM_BMP_FILE_SIZE);
	EXPECT_EQ(bytes.size(), 3686454u);
	uint8_t header[QM_BMP_HEADER_SIZE];
	qm_bmp_header(header);
	EXPECT_TRUE(std::equal(header, header + sizeof(header), bytes.begin()));
	EXPECT_TRUE(std::equal(frame.begin(), frame.end(),
			       bytes.begin() + QM_BMP_HEADER_SIZE));

	DWORD attributes = GetFileAttributesA(path.c_str());
	ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
	EXPECT_EQ(attributes & FILE_ATTRIBUTE_READONLY, 0u);

	// Never over an existing image, and no temporary file left behind.
	std::vector<uint8_t> other(FRAME_SIZE, 7);
	EXPECT_FALSE(qm_write_bmp(path.c_str(), other.data()));
	EXPECT_EQ(read_file(path), bytes);
	EXPECT_EQ(GetFileAttributesA((path + ".tmp").c_str()),
		  INVALID_FILE_ATTRIBUTES);

	int fd = qm_create_private_file((dir + "\\new").c_str());
	ASSERT_GE(fd, 0);
	EXPECT_EQ(qm_write_some(fd, "\n", 1), 1);
	EXPECT_TRUE(qm_close_file(fd));
	EXPECT_EQ(read_file(dir + "\\new").size(), 1u);
	EXPECT_LT(qm_create_private_file((dir + "\\new").c_str()), 0);

	DeleteFileA(path.c_str());
	DeleteFileA((dir + "\\new").c_str());
	RemoveDirectoryA(dir.c_str());
}

TEST(WindowsFiles, SharedFilesAreReadInBinaryModeAndFoldersNotAtAll)
{
	std::string dir = temp_dir();
	std::string path = dir + "\\settings.json";
	{
		std::ofstream out(path, std::ios::binary);
		out << "{\"a\":\r\n\"b\x1a\"}";
	}
	auto text = qm_read_regular_file(path.c_str(), 1024);
	ASSERT_TRUE(text);
	EXPECT_STREQ(text.get(), "{\"a\":\r\n\"b\x1a\"}");
	EXPECT_FALSE(qm_read_regular_file(path.c_str(), 4));
	EXPECT_FALSE(qm_read_regular_file(dir.c_str(), 1024));
	DeleteFileA(path.c_str());
	RemoveDirectoryA(dir.c_str());
}

// The filter reads the settings file every half second: meanwhile OBS
// saves it (ReplaceFileW, in os_safe_replace) and a controller replaces
// it. Both must succeed, and the reader keeps what it opened.
TEST(WindowsFiles, AFileHeldForReadingCanBeReplaced)
{
	std::string dir = temp_dir();
	std::string path = dir + "\\settings.json";
	ASSERT_TRUE(qm_wide::write_text(qm_wide::widen(path), "{\"old\":1}"));
	int fd = qm_open_for_reading(path.c_str());
	ASSERT_GE(fd, 0);

	std::wstring temp = qm_wide::widen(path + ".ctl");
	ASSERT_TRUE(qm_wide::write_text(temp, "{\"new\":2}"));
	EXPECT_TRUE(ReplaceFileW(qm_wide::widen(path).c_str(), temp.c_str(),
				 nullptr, 0, nullptr, nullptr))
		<< "error " << GetLastError();

	// And again while the file that replaced the first one is held.
	int second = qm_open_for_reading(path.c_str());
	EXPECT_GE(second, 0);
	obs_data_t *data = obs_data_create();
	obs_data_set_int(data, "newest", 3);
	EXPECT_TRUE(
		obs_data_save_json_safe(data, path.c_str(), "tmp", nullptr));
	obs_data_release(data);

	char old[32] = {};
	EXPECT_EQ(_read(fd, old, sizeof(old) - 1), 9);
	EXPECT_STREQ(old, "{\"old\":1}");
	EXPECT_TRUE(qm_close_file(fd));
	if (second >= 0) {
		EXPECT_TRUE(qm_close_file(second));
	}
	obs_data_t *now = qm_load_json_file(path.c_str());
	ASSERT_TRUE(now);
	EXPECT_EQ(obs_data_get_int(now, "newest"), 3);
	obs_data_release(now);

	DeleteFileA(path.c_str());
	RemoveDirectoryA(dir.c_str());
}

TEST(WindowsFiles, PathsOutsideTheAnsiCodePageAreWrittenAndRead)
{
	std::string dir = temp_dir() + "\\" + USER_UTF8;
	ASSERT_TRUE(CreateDirectoryW(qm_wide::widen(dir).c_str(), nullptr));
	std::string path = dir + "\\face-1.bmp";
	std::vector<uint8_t> frame(FRAME_SIZE, 3);
	ASSERT_TRUE(qm_write_bmp(path.c_str(), frame.data()));
	auto image = qm_read_regular_file(path.c_str(), QM_BMP_FILE_SIZE);
	ASSERT_TRUE(image);
	EXPECT_EQ(image[0], 'B');
	EXPECT_EQ(uint8_t(image[QM_BMP_FILE_SIZE - 1]), 3);

	// Still never over an existing image, and nothing left behind.
	EXPECT_FALSE(qm_write_bmp(path.c_str(), frame.data()));
	EXPECT_EQ(GetFileAttributesW(qm_wide::widen(path + ".tmp").c_str()),
		  INVALID_FILE_ATTRIBUTES);

	EXPECT_TRUE(DeleteFileW(qm_wide::widen(path).c_str()));
	EXPECT_TRUE(RemoveDirectoryW(qm_wide::widen(dir).c_str()));
	RemoveDirectoryW(
		qm_wide::widen(dir.substr(0, dir.rfind('\\'))).c_str());
}
