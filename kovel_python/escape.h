// Escaping of text for HTML and for Python string literals.
#pragma once

#include <string>
#include <string_view>

namespace kovel::py {

// Appends the text with & < > " ' replaced by entities, so it is inert both as
// element text and inside a double-quoted attribute value. Every character is
// escaped on its own: an existing entity's & is escaped again.
void append_html_escaped(std::string& out, std::string_view utf8);

// Appends the body (without the quotes) of a double-quoted Python string
// literal that evaluates to the given text. Non-ASCII text is kept as is.
void append_python_string_escaped(std::string& out, std::string_view utf8);

}  // namespace kovel::py
