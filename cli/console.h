#pragma once

// Standard output and error as the tool writes them. A write that fails - a
// pipe whose reader went away (`kx7fw update | head`), a terminal that was
// closed - never ends the tool: SIGPIPE is ignored for the whole run, the
// stream is marked lost and nothing more is written to it, and the command
// goes on to its end. Every write is flushed at once, so that what was said
// before a stop is out.

#include <string>
#include <string_view>

namespace kx7::cli::console {

// Called once, first thing: SIGPIPE is ignored from here on.
void Start();

void Out(std::string_view text);
void Err(std::string_view text);
// Whether a write to standard output has failed.
bool OutLost();
// Whether standard output is a pipe whose reader has gone away, asked
// without writing to it.
bool OutGone();
bool OutIsTerminal();
bool InIsTerminal();

// The width of the terminal standard output is on, asked anew each time so
// that a resized window is followed; else $COLUMNS; else 80.
int Columns();
// `text` cut to fit one line of `columns` cells, the last cell left free so
// that the terminal never wraps it; a UTF-8 sequence counts as one cell.
std::string Fit(std::string_view text, int columns);
// `text` folded at blanks into lines of `columns` cells (the last cell left
// free), the lines after the first indented by `indent`; each line ends in
// a newline.
std::string Fold(const std::string& text, int columns, std::size_t indent);

}  // namespace kx7::cli::console
