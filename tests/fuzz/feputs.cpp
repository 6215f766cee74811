// Fuzz target for the filter: no byte a terminal acts on gets through, and
// the output is the text, caret pairs and all, up to its first zero byte.
// SPDX-License-Identifier: MIT

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "dowall.h"

namespace {

void check(bool ok)
{
	if (!ok)
		__builtin_trap();
}

bool control(unsigned char b)
{
	return (b >= 0x01 && b <= 0x1f && b != '\t' && b != '\n' && b != '\r') ||
	    (b >= 0x80 && b <= 0x9f);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	std::vector<char> text(data, data + size);
	char *out = nullptr;
	size_t len = 0;

	text.push_back('\0');
	FILE *f = open_memstream(&out, &len);
	if (f == nullptr)
		abort();
	feputs(text.data(), f);
	// A memory stream shows its length only once flushed.
	const size_t flushed = len;
	fclose(f);
	check(len == flushed);

	for (size_t o = 0; o < len; o++)
		check(out[o] != '\0' && !control(out[o]));

	// A pair names its byte only up to the range the byte was in (0x01 and
	// 0x81 both give "^A"), and a '^' of the text passes as it is, so the
	// output is read alongside the text: each byte of the text must account
	// for exactly its own one or two output bytes, and the two must end
	// together.
	const size_t n = strlen(text.data());
	size_t o = 0;
	for (size_t i = 0; i < n; i++) {
		const unsigned char b = text[i];

		if (control(b)) {
			check(o + 2 <= len && out[o] == '^');
			const unsigned char c = out[o + 1];
			check(c >= '@' && c <= '_' && (c - 0x40) == (b & 0x1f));
			o += 2;
		} else {
			check(o < len && static_cast<unsigned char>(out[o]) == b);
			o++;
		}
	}
	check(o == len);
	free(out);
	return 0;
}
