// Spelling variations of command lines and program names, undone before the
// extended process rules match (setting extendedDetection). Attackers break up
// the words the rules look for with characters the target program removes
// itself (cmd's carets and quotes, PowerShell's backticks and string
// concatenation), with extra blanks, or pick a name that only looks like a
// core process's. The rules match the raw text and this form of it; the log
// keeps the raw text. Pure.
#pragma once

#include <string>

// The command line with, in this order: simple string concatenations joined
// ('Down'+'loadString', "a" + "b"), a single literal in parentheses unwrapped
// (('vss'+'admin') gives vssadmin), every double and single quote removed,
// carets and backticks removed (a doubled one leaves one), the dashes
// PowerShell accepts (U+2013, U+2014, U+2015) made '-', and each run of
// blanks (space, tab, CR, LF, no-break space) made one space, none at either
// end. Case is kept, so an encoded payload in it stays decodable.
std::wstring NormaliseCommandLine(const std::wstring& commandLine);

// The image name folded to its look-alike class: ASCII-lower-cased; digits and
// signs that pass for letters (0 o, 1 l, 3 e, 4 a, 5 s, $ s, @ a), 'i' and
// 'l' alike, "rn" as 'm', "vv" as 'w', and Cyrillic and Greek letters that
// look like Latin ones made those letters.
std::wstring FoldLookAlikes(const std::wstring& name);

// The core process name (from CoreProcessNames) that `name` imitates without
// being it: the same after FoldLookAlikes, or, with an ".exe" name or none,
// one slip away from a core stem (the part before the last dot) of five
// letters or more: two neighbouring letters swapped, a letter doubled or a
// doubled one single, and for stems of seven letters or more one letter added
// anywhere or one inner letter left out (both sides folded). Empty when it is
// a core name itself or imitates none. slip, when given, tells whether it took
// a slip, weaker evidence than look-alike characters.
std::wstring ImitatedCoreName(const std::wstring& name, bool* slip = nullptr);
