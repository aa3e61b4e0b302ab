// Small text helpers the tests share: whole files, lines and counts.
#pragma once

#include <string>
#include <vector>

// The whole content of the file at path; empty when it cannot be read.
std::string readText(const std::string& path);

// The lines of text without their line feeds; a last line without one counts.
std::vector<std::string> linesOf(const std::string& text);

// How often part stands in text, overlapping occurrences included.
int countOf(const std::string& text, const std::string& part);
