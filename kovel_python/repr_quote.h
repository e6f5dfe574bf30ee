// Quoted form of a term's text, as shown by KTerm.__repr__.
#pragma once

#include <string>
#include <string_view>

namespace kovel::py {

// Appends `"`, the text with control, invisible and combining characters
// escaped (\0 \t \n \r \" \\ and \u{h}), and a closing `"`. The result is
// meant for reading, not for any language's parser: a single quote stays as
// it is. `utf8` must be valid UTF-8.
void append_repr_quoted(std::string& out, std::string_view utf8);

}  // namespace kovel::py
