// The layout rules of converted syntax trees (see convert.h).
#include "convert.h"

#include <string>

#include "varint.h"

namespace kovel::convert {

namespace {

bool has_nonblank(std::string_view s) {
  for (char c : s)
    if (!blank(c)) return true;
  return false;
}

// `s` with every occurrence of `pattern` removed, in one left-to-right pass
// (as Python's str.replace does).
std::string remove_all(std::string_view s, std::string_view pattern) {
  std::string out;
  out.reserve(s.size());
  std::size_t pos = 0;
  for (std::size_t hit; (hit = s.find(pattern, pos)) != std::string_view::npos; pos = hit + pattern.size())
    out.append(s.substr(pos, hit - pos));
  out.append(s.substr(pos));
  return out;
}

}  // namespace

void NodeBuf::write(std::string_view s) {
  if (s.empty()) return;
  std::uint8_t head[12] = {kCmdTag, static_cast<std::uint8_t>(StrCmd::Kind::Write)};
  const std::uint8_t* end = detail::put_varint(head + 2, s.size());
  cmds_.append(reinterpret_cast<const char*>(head), static_cast<std::size_t>(end - head));
  cmds_.append(s);
  ++ncmds_;
}

void NodeBuf::nl() {
  cmds_.push_back(static_cast<char>(kCmdTag));
  cmds_.push_back(static_cast<char>(StrCmd::Kind::NL));
  ++ncmds_;
}

void NodeBuf::child(KRef t) {
  kids_.push_back(std::move(t));
  cmds_.push_back(static_cast<char>(kHoleTag));
  ++ncmds_;
}

KRef NodeBuf::build(pool::ThreadCache* tc) {
  KRef t = KTerm::assemble_interned(KTerm::Variant::Tuple, 0, tag_id_, tag_, {}, kids_, ncmds_, cmds_,
                                    std::nullopt, tc)
               .share();
  clear();
  return t;
}

bool valid_utf8(std::string_view s) {
  return detail::valid_utf8(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
}

bool token_text(std::string_view gap) {
  if (gap.find('\n') == std::string_view::npos) return false;
  if (gap.find('\\') == std::string_view::npos) return has_nonblank(gap);
  // Line continuations are blanks between tokens in C and shell grammars.
  const std::string joined = remove_all(remove_all(gap, "\\\r\n"), "\\\n");
  return joined.find('\n') != std::string::npos && has_nonblank(joined);
}

bool line_end_token(std::string_view text, bool verbatim) {
  const std::size_t lf = text.find('\n');
  return !verbatim && lf != std::string_view::npos && !has_nonblank(text.substr(lf + 1));
}

KRef token(std::string_view kind, std::uint32_t kind_id, std::string_view text, bool verbatim,
           NodeBuf& scratch, pool::ThreadCache* tc) {
  if (!line_end_token(text, verbatim))
    return kind_id != tags::kInline ? KTerm::make_leaf(kind_id, text, tc).share() : leaf(kind, text);
  scratch.reset(kind, kind_id);
  write_lines(scratch, text);
  return scratch.build(tc);
}

bool last_line_anchored(std::string_view text) {
  const std::size_t lf = text.rfind('\n');
  return lf != std::string_view::npos && lf + 1 < text.size() && !blank(text[lf + 1]);
}

}  // namespace kovel::convert
