#include <gtest/gtest.h>

#include <string>

#include "platform/codesign/requirement.h"
#include "service/code_signing_requirement.h"

namespace tamsel::codesign {
namespace {

CertificateFacts cert(std::vector<NameAttribute> subject, std::vector<NameAttribute> issuer = {}) {
  return CertificateFacts{std::move(subject), std::move(issuer)};
}

// leaf (OU Q4TZ7WMR2K) <- intermediate <- root, verified.
SigningFacts teamFacts() {
  SigningFacts f;
  f.chainTrusted = true;
  f.chain = {cert({{"CN", "Team Leaf"}, {"OU", "Q4TZ7WMR2K"}, {"O", "Tamsel"}, {"C", "US"}},
                  {{"CN", "Developer CA"}}),
             cert({{"CN", "Developer CA"}, {"O", "PKI"}}, {{"CN", "Root"}}),
             cert({{"CN", "Root"}, {"O", "PKI"}}, {{"CN", "Root"}})};
  f.identifier = "app.tamsel.cli";
  return f;
}

std::shared_ptr<const Requirement> compile(std::string_view text) {
  std::shared_ptr<const Requirement> r;
  EXPECT_EQ(requirementCreateWithString(text, r), errSecSuccess) << text.substr(0, 120);
  return r;
}

bool holds(std::string_view text, const SigningFacts& facts) {
  auto r = compile(text);
  return r != nullptr && r->evaluate(facts);
}

TEST(RequirementTest, HelperRequirementCompilesAndAdmitsOnlyTheTeamThroughTheAnchor) {
  const std::string& text = codeSigningRequirement();
  ASSERT_EQ(text.size(), 68u);
  auto r = compile(text);
  ASSERT_NE(r, nullptr);
  SigningFacts facts = teamFacts();
  EXPECT_TRUE(r->evaluate(facts));

  SigningFacts otherTeam = teamFacts();
  otherTeam.chain[0].subject[1].second = "7QX2LMN4PA";
  EXPECT_FALSE(r->evaluate(otherTeam));

  SigningFacts untrusted = teamFacts();
  untrusted.chainTrusted = false;
  EXPECT_FALSE(r->evaluate(untrusted));

  SigningFacts caseDiffers = teamFacts();
  caseDiffers.chain[0].subject[1].second = "q4tz7wmr2k";
  EXPECT_FALSE(r->evaluate(caseDiffers));

  // A second OU does not let a leaf match "one of" its units.
  SigningFacts twoUnits = teamFacts();
  twoUnits.chain[0].subject.emplace_back("OU", "7QX2LMN4PA");
  EXPECT_FALSE(r->evaluate(twoUnits));

  // The OU of another certificate in the chain does not stand in for the leaf's.
  SigningFacts unitOnIntermediate = teamFacts();
  unitOnIntermediate.chain[0].subject.erase(unitOnIntermediate.chain[0].subject.begin() + 1);
  unitOnIntermediate.chain[1].subject.emplace_back("OU", "Q4TZ7WMR2K");
  EXPECT_FALSE(r->evaluate(unitOnIntermediate));
}

TEST(RequirementTest, AnchorClauses) {
  SigningFacts viaIntermediate = teamFacts();
  EXPECT_TRUE(holds("anchor apple generic", viaIntermediate));
  EXPECT_FALSE(holds("anchor apple", viaIntermediate));

  SigningFacts direct = teamFacts();
  direct.chain.erase(direct.chain.begin() + 1);
  EXPECT_TRUE(holds("anchor apple", direct));

  SigningFacts untrusted = direct;
  untrusted.chainTrusted = false;
  EXPECT_FALSE(holds("anchor apple", untrusted));
  EXPECT_FALSE(holds("anchor apple generic", untrusted));
  EXPECT_TRUE(holds("!anchor apple generic", untrusted));
}

TEST(RequirementTest, PrecedenceIsNotOverAndOverOr) {
  SigningFacts f = teamFacts();
  f.identifier = "x";
  // x or (y and z): true; (x or y) and z would be false.
  EXPECT_TRUE(holds(R"(identifier "x" or identifier "y" and identifier "z")", f));
  EXPECT_FALSE(holds(R"((identifier "x" or identifier "y") and identifier "z")", f));
  // (!x) and y: false; !(x and y) would be true.
  EXPECT_FALSE(holds(R"(! identifier "x" and identifier "y")", f));
  EXPECT_TRUE(holds(R"(!(identifier "x" and identifier "y"))", f));
  // (y and z) or x, written the other way round.
  EXPECT_TRUE(holds(R"(identifier "y" and identifier "z" or identifier "x")", f));
  EXPECT_TRUE(holds(R"(!!identifier x)", f));
  EXPECT_TRUE(holds(R"(((identifier "x")))", f));
}

TEST(RequirementTest, CertificateSlotsAndFields) {
  const SigningFacts f = teamFacts();
  EXPECT_TRUE(holds(R"(certificate leaf[subject.CN] = "Team Leaf")", f));
  EXPECT_TRUE(holds(R"(certificate 0[subject.O] = Tamsel)", f));
  EXPECT_TRUE(holds(R"(certificate 1[subject.CN] = "Developer CA")", f));
  EXPECT_TRUE(holds(R"(cert root[subject.CN] = "Root")", f));
  EXPECT_TRUE(holds(R"(certificate anchor[subject.CN] = Root)", f));
  EXPECT_TRUE(holds(R"(certificate -2[subject.CN] = "Developer CA")", f));
  EXPECT_TRUE(holds(R"(certificate leaf[issuer.CN] = "Developer CA")", f));
  EXPECT_TRUE(holds(R"(certificate leaf[subject.C] = US)", f));
  EXPECT_FALSE(holds(R"(certificate leaf[subject.L] = "")", f));  // absent field
  EXPECT_FALSE(holds(R"(certificate 3[subject.CN] = "Root")", f));
  EXPECT_FALSE(holds(R"(certificate -4[subject.CN] = "Team Leaf")", f));
  EXPECT_FALSE(holds(R"(certificate leaf[subject.CN] = "Team")", f));  // no prefix matching

  // Without a verified chain, only the leaf is known by position.
  SigningFacts untrusted = f;
  untrusted.chainTrusted = false;
  EXPECT_TRUE(holds(R"(certificate leaf[subject.CN] = "Team Leaf")", untrusted));
  EXPECT_FALSE(holds(R"(certificate root[subject.CN] = "Root")", untrusted));
}

TEST(RequirementTest, IdentifierClause) {
  SigningFacts f = teamFacts();
  EXPECT_TRUE(holds(R"(identifier "app.tamsel.cli")", f));
  EXPECT_TRUE(holds(R"(identifier = app.tamsel.cli)", f));
  EXPECT_FALSE(holds(R"(identifier "app.tamsel")", f));
  EXPECT_TRUE(holds(R"(identifier "say \"hi\" \\ there" or identifier "app.tamsel.cli")", f));
  f.identifier = "say \"hi\" \\ there";
  EXPECT_TRUE(holds(R"(identifier "say \"hi\" \\ there")", f));
  f.identifier.reset();
  EXPECT_FALSE(holds(R"(identifier "")", f));
  f.identifier = "";
  EXPECT_TRUE(holds(R"(identifier "")", f));
}

TEST(RequirementTest, MalformedTextsDoNotCompile) {
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

TEST(RequirementTest, LongFlatChainsAndModerateNestingCompile) {
  std::string flat = "identifier z";
  for (int i = 0; i < 400; ++i) flat += " or identifier a and identifier b";
  SigningFacts f = teamFacts();
  f.identifier = "a";
  EXPECT_FALSE(holds(flat, f));
  EXPECT_TRUE(holds(flat + " or identifier a", f));
  const std::string nested = std::string(60, '(') + "identifier a" + std::string(60, ')');
  EXPECT_TRUE(holds(nested, f));
}

}  // namespace
}  // namespace tamsel::codesign
