// Splitting a raw command line into arguments, the way the tool's callers
// on Windows expect it, independent of any C runtime's own rules.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tolvak {

// True when the byte is the first of a double-byte character in the
// system's ANSI code page.
using LeadBytePredicate = bool (*)(unsigned char);

// Splits a command line into its arguments. The program's own name, the
// first word, is skipped and not returned; the result holds the arguments
// after it, in order.
//
//  - Leading spaces and tabs are skipped. The first word is everything up to
//    and including the next double quote when it begins with one, otherwise
//    everything up to the first space, tab or the end.
//  - The rest splits at runs of spaces and tabs.
//  - A double quote opens a quoted run, which ends at the next double quote
//    or at the end of the line; spaces and tabs in it belong to the argument.
//    The quotes themselves are dropped; touching pieces form one argument;
//    "" alone yields an empty argument.
//  - A backslash right before a double quote gives a literal double quote,
//    and neither opens nor closes a run. Every other backslash is kept as is.
//  - A lead byte and the byte after it are copied as a pair, so the second
//    byte is never taken for a backslash, quote, space or tab.
//  - Asterisks and question marks are not expanded.
std::vector<std::string> splitCommandLine(std::string_view commandLine,
                                          LeadBytePredicate isLeadByte);

// The system's lead-byte test for its ANSI code page; always false where
// there is no such thing.
bool isSystemLeadByte(unsigned char byte);

}  // namespace tolvak
