// Tokenizer and recursive-descent parser of the requirement language (grammar in requirement.h).
#include <array>
#include <charconv>
#include <optional>

#include "platform/codesign/requirement.h"

namespace tamsel::codesign {
namespace {

using Kind = RequirementNode::Kind;

enum class Tok : std::uint8_t {
  kWord,
  kString,
  kNot,
  kOpen,
  kClose,
  kLBracket,
  kRBracket,
  kEq,
  kEnd
};

struct Token {
  Tok type = Tok::kEnd;
  std::string text;  // the word, or the unescaped string
};

constexpr std::array<std::string_view, 10> kKeywords = {
    "and", "or", "anchor", "apple", "generic", "certificate", "cert", "identifier", "leaf", "root"};
constexpr std::array<std::string_view, 6> kNameAttributes = {"CN", "O", "OU", "C", "L", "ST"};

bool isWordChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '_' || c == '-';
}

bool isKeyword(std::string_view word) {
  for (std::string_view k : kKeywords) {
    if (k == word) return true;
  }
  return false;
}

// Splits the whole text up front; any stray byte makes the text invalid.
std::optional<std::vector<Token>> tokenize(std::string_view text) {
  std::vector<Token> tokens;
  std::size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
      ++i;
      continue;
    }
    Token t;
    switch (c) {
      case '!':
        t.type = Tok::kNot;
        break;
      case '(':
        t.type = Tok::kOpen;
        break;
      case ')':
        t.type = Tok::kClose;
        break;
      case '[':
        t.type = Tok::kLBracket;
        break;
      case ']':
        t.type = Tok::kRBracket;
        break;
      case '=':
        t.type = Tok::kEq;
        break;
      default:
        break;
    }
    if (t.type != Tok::kEnd) {
      ++i;
    } else if (c == '"') {
      t.type = Tok::kString;
      ++i;
      bool closed = false;
      while (i < text.size()) {
        char s = text[i++];
        if (s == '"') {
          closed = true;
          break;
        }
        if (s == '\0') return std::nullopt;
        if (s == '\\') {
          if (i >= text.size() || (text[i] != '"' && text[i] != '\\')) return std::nullopt;
          s = text[i++];
        }
        t.text.push_back(s);
      }
      if (!closed) return std::nullopt;
    } else if (isWordChar(c)) {
      t.type = Tok::kWord;
      const std::size_t start = i;
      while (i < text.size() && isWordChar(text[i])) ++i;
      t.text.assign(text.substr(start, i - start));
    } else {
      return std::nullopt;
    }
    tokens.push_back(std::move(t));
  }
  tokens.push_back(Token{});
  return tokens;
}

class Parser {
 public:
  explicit Parser(std::vector<Token> tokens) : tokens_(std::move(tokens)) {}

  std::optional<RequirementNode> parseAll() {
    auto node = parseOr(0);
    if (!node || peek().type != Tok::kEnd) return std::nullopt;
    return node;
  }

 private:
  const Token& peek() const { return tokens_[pos_]; }
  const Token& next() { return tokens_[pos_ < tokens_.size() - 1 ? pos_++ : pos_]; }
  bool atWord(std::string_view word) const {
    return peek().type == Tok::kWord && peek().text == word;
  }
  bool accept(Tok type) {
    if (peek().type != type) return false;
    next();
    return true;
  }
  bool acceptWord(std::string_view word) {
    if (!atWord(word)) return false;
    next();
    return true;
  }

  // A chain of operands joined by one operator, kept flat so long chains do not nest.
  std::optional<RequirementNode> parseChain(int depth, Kind kind, std::string_view op) {
    auto first = kind == Kind::kOr ? parseChain(depth, Kind::kAnd, "and") : parseUnary(depth);
    if (!first || !atWord(op)) return first;
    RequirementNode node;
    node.kind = kind;
    node.children.push_back(std::move(*first));
    while (acceptWord(op)) {
      auto operand = kind == Kind::kOr ? parseChain(depth, Kind::kAnd, "and") : parseUnary(depth);
      if (!operand) return std::nullopt;
      node.children.push_back(std::move(*operand));
    }
    return node;
  }

  std::optional<RequirementNode> parseOr(int depth) { return parseChain(depth, Kind::kOr, "or"); }

  std::optional<RequirementNode> parseUnary(int depth) {
    if (depth >= kMaxRequirementDepth) return std::nullopt;
    if (accept(Tok::kNot)) {
      auto operand = parseUnary(depth + 1);
      if (!operand) return std::nullopt;
      RequirementNode node;
      node.kind = Kind::kNot;
      node.children.push_back(std::move(*operand));
      return node;
    }
    if (accept(Tok::kOpen)) {
      auto inner = parseOr(depth + 1);
      if (!inner || !accept(Tok::kClose)) return std::nullopt;
      return inner;
    }
    return parseClause();
  }

  std::optional<RequirementNode> parseClause() {
    RequirementNode node;
    if (acceptWord("anchor")) {
      if (!acceptWord("apple")) return std::nullopt;
      node.kind = acceptWord("generic") ? Kind::kAnchorGeneric : Kind::kAnchorDirect;
      return node;
    }
    if (acceptWord("certificate") || acceptWord("cert")) {
      node.kind = Kind::kCertificateField;
      if (!parseSlot(node) || !accept(Tok::kLBracket) || !parseField(node) ||
          !accept(Tok::kRBracket) || !accept(Tok::kEq) || !parseValue(node.value)) {
        return std::nullopt;
      }
      return node;
    }
    if (acceptWord("identifier")) {
      node.kind = Kind::kIdentifier;
      accept(Tok::kEq);
      if (!parseValue(node.value)) return std::nullopt;
      return node;
    }
    return std::nullopt;
  }

  bool parseSlot(RequirementNode& node) {
    if (peek().type != Tok::kWord) return false;
    const std::string& word = next().text;
    if (word == "leaf") {
      node.certificateIndex = 0;
      return true;
    }
    if (word == "root" || word == "anchor") {
      node.certificateIndex = -1;
      return true;
    }
    int index = 0;
    const char* end = word.data() + word.size();
    auto [p, ec] = std::from_chars(word.data(), end, index);
    if (ec != std::errc() || p != end) return false;
    node.certificateIndex = index;
    return true;
  }

  bool parseField(RequirementNode& node) {
    if (peek().type != Tok::kWord) return false;
    std::string_view field = next().text;
    if (field.starts_with("subject.")) {
      field.remove_prefix(8);
    } else if (field.starts_with("issuer.")) {
      field.remove_prefix(7);
      node.issuerField = true;
    } else {
      return false;
    }
    for (std::string_view a : kNameAttributes) {
      if (a == field) {
        node.attribute.assign(field);
        return true;
      }
    }
    return false;
  }

  bool parseValue(std::string& out) {
    const Token& t = peek();
    if (t.type == Tok::kString || (t.type == Tok::kWord && !isKeyword(t.text))) {
      out = next().text;
      return true;
    }
    return false;
  }

  std::vector<Token> tokens_;
  std::size_t pos_ = 0;
};

}  // namespace

std::unique_ptr<RequirementNode> parseRequirement(std::string_view text) {
  if (text.size() > kMaxRequirementLength) return nullptr;
  auto tokens = tokenize(text);
  if (!tokens) return nullptr;
  auto root = Parser(std::move(*tokens)).parseAll();
  if (!root) return nullptr;
  return std::make_unique<RequirementNode>(std::move(*root));
}

}  // namespace tamsel::codesign
