#include <gtest/gtest.h>

#include <string>

#include "platform/codesign/requirement.h"
#include "service/code_signing_requirement.h"

namespace tamsel::codesign {
namespace {

// The facts of a leaf (OU Q4TZ7WMR2K) <- intermediate <- root chain, verified, and variations.
SigningFacts teamFacts() {
  using C = CertificateFacts;
  SigningFacts f;
  f.chainTrusted = true;
  f.chain = {C{{{"CN", "Team Leaf"}, {"OU", "Q4TZ7WMR2K"}, {"O", "Tamsel"}, {"C", "US"}},
               {{"CN", "Developer CA"}}},
             C{{{"CN", "Developer CA"}, {"O", "PKI"}}, {{"CN", "Root"}}},
             C{{{"CN", "Root"}, {"O", "PKI"}}, {{"CN", "Root"}}}};
  f.identifier = "app.tamsel.cli";
  return f;
}

using Change = void (*)(SigningFacts&);
const Change team = [](SigningFacts&) {};
const Change otherTeam = [](SigningFacts& f) { f.chain[0].subject[1].second = "7QX2LMN4PA"; };
const Change lowerCaseTeam = [](SigningFacts& f) { f.chain[0].subject[1].second = "q4tz7wmr2k"; };
const Change untrusted = [](SigningFacts& f) { f.chainTrusted = false; };
const Change unitAfter = [](SigningFacts& f) {
  f.chain[0].subject.emplace_back("OU", "7QX2LMN4PA");
};
const Change unitBefore = [](SigningFacts& f) {
  f.chain[0].subject.insert(f.chain[0].subject.begin(), {"OU", "7QX2LMN4PA"});
};
const Change unitOnIntermediate = [](SigningFacts& f) {
  f.chain[0].subject.erase(f.chain[0].subject.begin() + 1);
  f.chain[1].subject.emplace_back("OU", "Q4TZ7WMR2K");
};
const Change direct = [](SigningFacts& f) { f.chain.erase(f.chain.begin() + 1); };
const Change directUntrusted = [](SigningFacts& f) {
  direct(f);
  untrusted(f);
};
const Change identifierX = [](SigningFacts& f) { f.identifier = "x"; };
const Change quotedIdentifier = [](SigningFacts& f) { f.identifier = "say \"hi\" \\ there"; };
const Change noIdentifier = [](SigningFacts& f) { f.identifier.reset(); };
const Change emptyIdentifier = [](SigningFacts& f) { f.identifier = ""; };

SigningFacts facts(Change change) {
  SigningFacts f = teamFacts();
  change(f);
  return f;
}

TEST(Requirement, TruthTable) {
  const std::string& helper = codeSigningRequirement();
  const struct {
    std::string_view text;
    Change change;
    bool holds;
  } cases[] = {
      // The helper's own requirement admits only the team, through the anchor.
      {helper, team, true},
      {helper, otherTeam, false},
      {helper, lowerCaseTeam, false},
      {helper, untrusted, false},
      // A leaf with two OUs matches neither: the text names one value, not one of several.
      {helper, unitAfter, false},
      {helper, unitBefore, false},
      // The OU of another certificate does not stand in for the leaf's.
      {helper, unitOnIntermediate, false},
      // Anchor clauses.
      {"anchor apple generic", team, true},
      {"anchor apple", team, false},
      {"anchor apple", direct, true},
      {"anchor apple", directUntrusted, false},
      {"anchor apple generic", directUntrusted, false},
      {"!anchor apple generic", directUntrusted, true},
      // Precedence: ! over and over or.
      {R"(identifier "x" or identifier "y" and identifier "z")", identifierX, true},
      {R"((identifier "x" or identifier "y") and identifier "z")", identifierX, false},
      {R"(! identifier "x" and identifier "y")", identifierX, false},
      {R"(!(identifier "x" and identifier "y"))", identifierX, true},
      {R"(identifier "y" and identifier "z" or identifier "x")", identifierX, true},
      {R"(!!identifier x)", identifierX, true},
      {R"(((identifier "x")))", identifierX, true},
      // Certificate slots and fields.
      {R"(certificate leaf[subject.CN] = "Team Leaf")", team, true},
      {R"(certificate 0[subject.O] = Tamsel)", team, true},
      {R"(certificate 1[subject.CN] = "Developer CA")", team, true},
      {R"(cert root[subject.CN] = "Root")", team, true},
      {R"(certificate anchor[subject.CN] = Root)", team, true},
      {R"(certificate -2[subject.CN] = "Developer CA")", team, true},
      {R"(certificate leaf[issuer.CN] = "Developer CA")", team, true},
      {R"(certificate leaf[subject.L] = "")", team, false},  // absent field
      {R"(certificate 3[subject.CN] = "Root")", team, false},
      {R"(certificate -4[subject.CN] = "Team Leaf")", team, false},
      {R"(certificate leaf[subject.CN] = "Team")", team, false},  // no prefix matching
      // Without a verified chain only the leaf is known by position.
      {R"(certificate leaf[subject.CN] = "Team Leaf")", untrusted, true},
      {R"(certificate root[subject.CN] = "Root")", untrusted, false},
      // Identifiers.
      {R"(identifier "app.tamsel.cli")", team, true},
      {R"(identifier = app.tamsel.cli)", team, true},
      {R"(identifier "app.tamsel")", team, false},
      {R"(identifier "say \"hi\" \\ there")", quotedIdentifier, true},
      {R"(identifier "")", noIdentifier, false},
      {R"(identifier "")", emptyIdentifier, true},
  };
  for (const auto& c : cases) {
    std::shared_ptr<const Requirement> r;
    ASSERT_EQ(requirementCreateWithString(c.text, r), errSecSuccess) << c.text;
    EXPECT_EQ(r->evaluate(facts(c.change)), c.holds) << c.text << " (case " << &c - cases << ")";
  }
}

TEST(Requirement, MalformedTextsDoNotCompile) {
  const std::string deep = std::string(100, '(') + "anchor apple" + std::string(100, ')');
  const std::string manyNots = std::string(100, '!') + "anchor apple";
  const std::string tooLong = "identifier \"" + std::string(kMaxRequirementLength, 'a') + "\"";
  const std::string withNul = std::string("anchor apple generic\0 or anchor apple", 37);
  for (std::string_view text : {std::string_view(""),
                                std::string_view("   "),
                                std::string_view("anchor"),
                                std::string_view("anchor apple generic and"),
                                std::string_view("anchor apple generic or"),
                                std::string_view("and anchor apple"),
                                std::string_view("(anchor apple generic"),
                                std::string_view("anchor apple generic)"),
                                std::string_view("anchor apple generic extra"),
                                std::string_view("anchor google"),
                                std::string_view("!"),
                                std::string_view("()"),
                                std::string_view(R"(certificate leaf[subject.XX] = "a")"),
                                std::string_view(R"(certificate leaf[OU] = "a")"),
                                std::string_view(R"(certificate leaf[subject.OU] "a")"),
                                std::string_view(R"(certificate leaf[subject.OU] = )"),
                                std::string_view(R"(certificate leaf subject.OU] = "a")"),
                                std::string_view(R"(certificate branch[subject.OU] = "a")"),
                                std::string_view(R"(certificate 99999999999[subject.OU] = "a")"),
                                std::string_view(R"(certificate leaf[subject.OU] = and)"),
                                std::string_view(R"(identifier "unterminated)"),
                                std::string_view(R"(identifier "a\q")"),
                                std::string_view(R"(identifier)"),
                                std::string_view(R"(identifier "a" "b")"),
                                std::string_view(R"(anchor apple generic && identifier "a")"),
                                std::string_view("identifier 'a'"),
                                std::string_view(deep),
                                std::string_view(manyNots),
                                std::string_view(tooLong),
                                std::string_view(withNul)}) {
    std::shared_ptr<const Requirement> r = std::make_shared<const Requirement>(RequirementNode{});
    EXPECT_EQ(requirementCreateWithString(text, r), errSecCSReqInvalid) << text.substr(0, 80);
    EXPECT_EQ(r, nullptr);
  }
}

}  // namespace
}  // namespace tamsel::codesign
