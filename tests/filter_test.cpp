// The control-character filter: what each byte becomes on the stream.
// SPDX-License-Identifier: MIT

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "dowall.h"
#include "support.h"

static std::string filtered(const char *text)
{
	char *buf = nullptr;
	size_t len = 0;
	FILE *f = open_memstream(&buf, &len);

	feputs(text, f);
	fclose(f);
	std::string out(buf, len);
	free(buf);
	return out;
}

TEST(Filter, WorkedValues)
{
	const struct {
		const char *in, *out;
	} cases[] = {
	    {"\a", "^G"},
	    {"\x1b[2J", "^[[2J"},
	    {"\x01", "^A"},
	    {"\x08\x0b\x0c\x0e", "^H^K^L^N"},
	    {"\x1f", "^_"},
	    {"\x80", "^@"},
	    {"\x9b", "^["},
	    {"\x9f", "^_"},
	    {"\x7f", "\x7f"},
	    {"\xa0", "\xa0"},
	    {"\xe9", "\xe9"},
	    {"\xff", "\xff"},
	    {" ~^", " ~^"},
	    {"\t\r\n", "\t\r\n"},
	    {"a\nb", "a\nb"}, // no carriage return is added
	    {"", ""},
	    {nullptr, ""},
	    {"\xc3\x9c", "\xc3^\\"},        // U+00DC: bytes, not characters
	    {"\xe2\x82\xac", "\xe2^B\xac"}, // U+20AC
	};

	for (const auto &c : cases)
		EXPECT_EQ(filtered(c.in), c.out) << testing::PrintToString(c.in);
}

// Every byte either passes as it is or becomes a caret and the printable
// character that names it; only the control ranges are rendered.
TEST(Filter, EveryByteValue)
{
	std::string all;

	for (int b = 1; b <= 0xff; b++) {
		const char in[] = {static_cast<char>(b), '\0'};
		const bool control = (b < 0x20 && b != '\t' && b != '\n' && b != '\r') ||
		    (b >= 0x80 && b <= 0x9f);
		const std::string out = filtered(in);

		all += in;
		if (control) {
			ASSERT_EQ(out.size(), 2u) << "byte " << b;
			EXPECT_EQ(out[0], '^') << "byte " << b;
			EXPECT_GE(out[1], '@') << "byte " << b;
			EXPECT_LE(out[1], '_') << "byte " << b;
			EXPECT_EQ(out[1] - 0x40, b & 0x1f) << "byte " << b;
		} else {
			EXPECT_EQ(out, in) << "byte " << b;
		}
	}
	for (unsigned char c : filtered(all.c_str())) {
		EXPECT_FALSE(c < 0x20 && c != '\t' && c != '\n' && c != '\r') << int(c);
		EXPECT_FALSE(c >= 0x80 && c <= 0x9f) << int(c);
	}
}

TEST(Filter, StopsAtTheFirstZeroByte)
{
	const char text[] = "ab\0\033cd";

	EXPECT_EQ(filtered(text), "ab");
}

// A pipe behind a fully buffered stream shows whether the stream was flushed.
TEST(Filter, FlushesTheStreamAlsoForAnEmptyOrNullText)
{
	int p[2];
	char buf[64];

	ASSERT_EQ(pipe2(p, O_NONBLOCK), 0);
	FILE *f = fdopen(p[1], "w");
	setvbuf(f, nullptr, _IOFBF, 1024);

	feputs("a\x1b", f);
	EXPECT_EQ(read(p[0], buf, sizeof buf), 3);
	for (const char *text : {"", static_cast<const char *>(nullptr)}) {
		fputs("held", f);
		feputs(text, f);
		EXPECT_EQ(read(p[0], buf, sizeof buf), 4);
	}
	fclose(f);
	close(p[0]);
}

// The writes a line-buffered stream with a buffer of size makes, calls does
// the output.
static std::vector<std::string> writes(size_t size, const std::function<void(FILE *)> &calls)
{
	std::vector<std::string> got;
	cookie_io_functions_t io = {};
	io.write = [](void *c, const char *buf, size_t n) -> ssize_t {
		static_cast<std::vector<std::string> *>(c)->emplace_back(buf, n);
		return static_cast<ssize_t>(n);
	};
	std::vector<char> buf(size);
	FILE *f = fopencookie(&got, "w", io);

	setvbuf(f, buf.data(), _IOLBF, size);
	calls(f);
	fclose(f);
	return got;
}

// A terminal's stream is line-buffered: it must write line by line, and a
// long line a buffer at a time, just as when every byte is put on its own.
TEST(Filter, WritesAsBytePerByteOutputWould)
{
	const std::string line(300, 'x'), ctl(300, '\x1b'), shown(600, '^');
	const std::string cases[] = {
	    "one line\n",
	    "one\ntwo\n\nfour",
	    line,
	    line + "\n" + line + "\n",
	    ctl + "\n" + ctl,
	    "a" + ctl + line + "\n\a\n",
	};

	for (size_t size : {128, 200, 1024})
		for (const std::string &in : cases) {
			const std::string out = filtered(in.c_str());
			const auto want = writes(size, [&](FILE *f) {
				for (char c : out)
					fputc(c, f);
				fflush(f);
			});
			EXPECT_EQ(writes(size, [&](FILE *f) { feputs(in.c_str(), f); }), want)
			    << size << " " << testing::PrintToString(in);
		}
}
