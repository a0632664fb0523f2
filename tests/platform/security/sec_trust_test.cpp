#include "platform/security/sec_trust.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <openssl/x509_vfy.h>

#include <random>

#include "platform/security/revocation.h"
#include "support/test_pki.h"

namespace {

using platform::SecCertificate;
using platform::SecCertificatePtr;
using platform::SecPolicy;
using platform::SecTrust;
using platform::SecTrustError;
using platform::SecTrustResultType;
using testpki::Identity;
using testpki::PKI;

PKI& pki() {
  return PKI::shared();
}

std::vector<std::uint8_t> certificateData(const std::vector<SecCertificatePtr>& chain) {
  std::vector<std::uint8_t> all;
  for (const auto& c : chain)
    all.insert(all.end(), c->data().begin(), c->data().end());
  return all;
}

TEST(SecCertificateTest, MadeOnlyFromExactlyOneDERCertificate) {
  const auto der = pki().leaf.der();
  auto trailing = der;
  trailing.push_back(0);
  const auto pem = pki().leaf.pem();
  std::vector<std::uint8_t> random(700);
  std::mt19937 generator(7);
  for (auto& b : random)
    b = static_cast<std::uint8_t>(generator());
  auto truncated = der;
  truncated.resize(der.size() / 2);
  struct Row {
    const char* name;
    std::vector<std::uint8_t> bytes;
    bool made;
  } rows[] = {
      {"DER", der, true},
      {"DER with a trailing byte", trailing, false},
      {"PEM text", std::vector<std::uint8_t>(pem.begin(), pem.end()), false},
      {"random bytes", random, false},
      {"truncated DER", truncated, false},
      {"nothing", {}, false},
  };
  for (const auto& row : rows) {
    auto certificate = SecCertificate::createWithData(row.bytes);
    EXPECT_EQ(certificate != nullptr, row.made) << row.name;
    if (certificate) {
      EXPECT_EQ(certificate->data(), row.bytes) << row.name;
      EXPECT_THAT(certificate->subjectSummary(), testing::HasSubstr("localhost"));
    }
  }
}

TEST(SecKeyTest, EqualityIsTheKeysAndTheRepresentationIsSubjectPublicKeyInfo) {
  auto leafKey = pki().leaf.sec()->publicKey();
  auto sameKey = pki().leaf.publicKey();
  auto otherKey = pki().intermediate.sec()->publicKey();
  ASSERT_TRUE(leafKey && sameKey && otherKey);
  EXPECT_TRUE(*leafKey == *sameKey);
  EXPECT_FALSE(*leafKey == *otherKey);
  auto again = platform::SecKey::createWithData(leafKey->externalRepresentation());
  ASSERT_TRUE(again);
  EXPECT_TRUE(*again == *leafKey);
  auto der = leafKey->externalRepresentation();
  der.push_back(1);
  EXPECT_FALSE(platform::SecKey::createWithData(der));
}

TEST(SecPolicyTest, RevocationWordsOutsideTheDefinedBitsMakeNoPolicy) {
  struct Row {
    std::uint32_t flags;
    bool made;
  } rows[] = {{0, true},     {3, true},     {0x1F, true},
              {0x20, false}, {0x21, false}, {0x80000000, false}};
  for (const auto& row : rows) {
    EXPECT_EQ(SecPolicy::createRevocation(row.flags) != nullptr, row.made) << row.flags;
  }
}

TEST(SecTrustTest, AnEmptyPolicyListIsRefusedAndTheOldOneStays) {
  auto ssl = SecPolicy::createSSL(true, "localhost");
  auto trust = SecTrust::create(pki().presented(pki().leaf), {ssl});
  ASSERT_TRUE(trust);
  EXPECT_EQ(trust->setPolicies({}), platform::errSecParam);
  ASSERT_EQ(trust->policies().size(), 1u);
  EXPECT_EQ(trust->policies()[0], ssl);
  EXPECT_FALSE(SecTrust::create({}, {}));
}

struct EvaluationRow {
  const char* name;
  std::vector<SecCertificatePtr> presented;
  std::vector<platform::SecPolicyPtr> policies;
  int verifyCode;  // X509_V_OK: trusted
  int depth;
};

void expectEvaluation(const EvaluationRow& row) {
  auto trust = SecTrust::create(row.presented, row.policies);
  ASSERT_TRUE(trust) << row.name;
  platform::ErrorPtr error;
  const bool trusted = trust->evaluateWithError(&error);
  EXPECT_EQ(trusted, row.verifyCode == X509_V_OK) << row.name;
  if (row.verifyCode == X509_V_OK) {
    EXPECT_EQ(trust->result(), SecTrustResultType::unspecified) << row.name;
    EXPECT_FALSE(error) << row.name;
    return;
  }
  EXPECT_EQ(trust->result(), SecTrustResultType::recoverableTrustFailure) << row.name;
  auto* failure = dynamic_cast<const SecTrustError*>(error.get());
  ASSERT_NE(failure, nullptr) << row.name;
  EXPECT_EQ(failure->verifyCode(), row.verifyCode)
      << row.name << ": " << failure->debugDescription();
  EXPECT_EQ(failure->depth(), row.depth) << row.name;
  EXPECT_FALSE(failure->reason().empty()) << row.name;
}

TEST(SecTrustTest, EvaluationBuildsThePathAndChecksDatesPurposeAndHost) {
  auto& p = pki();
  auto ssl = [](std::optional<std::string> host) { return SecPolicy::createSSL(true, host); };
  auto unknownIssuerLeaf =
      testpki::makeCertificate({.commonName = "localhost", .issuer = &p.unrelatedRoot});
  const EvaluationRow rows[] = {
      {"valid, named host", p.presented(p.leaf), {ssl("localhost")}, X509_V_OK, 0},
      {"valid, address literal", p.presented(p.leaf), {ssl("127.0.0.1")}, X509_V_OK, 0},
      {"valid, no host", p.presented(p.leaf), {ssl(std::nullopt)}, X509_V_OK, 0},
      {"valid, basic policy only",
       p.presented(p.leaf),
       {SecPolicy::createBasicX509()},
       X509_V_OK,
       0},
      {"expired", p.presented(p.expired), {ssl("localhost")}, X509_V_ERR_CERT_HAS_EXPIRED, 0},
      {"not yet valid",
       p.presented(p.notYetValid),
       {ssl("localhost")},
       X509_V_ERR_CERT_NOT_YET_VALID,
       0},
      {"self-signed",
       {p.selfSigned.sec()},
       {ssl("localhost")},
       X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT,
       0},
      {"unknown issuer",
       {unknownIssuerLeaf.sec(), p.unrelatedRoot.sec()},
       {ssl("localhost")},
       X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN,
       1},
      {"intermediate not sent",
       {p.leaf.sec()},
       {ssl("localhost")},
       X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY,
       0},
      {"wrong host", p.presented(p.wrongHost), {ssl("localhost")}, X509_V_ERR_HOSTNAME_MISMATCH, 0},
      {"wrong address", p.presented(p.leaf), {ssl("127.0.0.2")}, X509_V_ERR_IP_ADDRESS_MISMATCH, 0},
      {"unknown root, nothing but the leaf",
       {unknownIssuerLeaf.sec()},
       {ssl("localhost")},
       X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY,
       0},
      {"wrong host without a host check",
       p.presented(p.wrongHost),
       {ssl(std::nullopt)},
       X509_V_OK,
       0},
      {"second host policy must match too",
       p.presented(p.leaf),
       {ssl("localhost"), ssl("wrong.invalid")},
       X509_V_ERR_HOSTNAME_MISMATCH,
       0},
      {"client purpose refuses a server leaf",
       p.presented(p.leaf),
       {SecPolicy::createSSL(false, std::nullopt)},
       X509_V_ERR_INVALID_PURPOSE,
       0},
      {"revocation alone still needs an anchor",
       {p.selfSigned.sec()},
       {SecPolicy::createRevocation(16)},
       X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT,
       0},
  };
  for (const auto& row : rows)
    expectEvaluation(row);
}

TEST(SecTrustTest, ErrorsNameTheCertificateAtFault) {
  auto trust =
      SecTrust::create(pki().presented(pki().expired), {SecPolicy::createSSL(true, "localhost")});
  platform::ErrorPtr error;
  ASSERT_FALSE(trust->evaluateWithError(&error));
  auto* failure = dynamic_cast<const SecTrustError*>(error.get());
  ASSERT_NE(failure, nullptr);
  EXPECT_THAT(failure->subject(), testing::HasSubstr("localhost"));
  EXPECT_THAT(failure->localizedDescription(), testing::HasSubstr("expired"));
}

TEST(SecTrustTest, AnchorsAddToTheSystemsOrReplaceThem) {
  auto& p = pki();
  auto ssl = SecPolicy::createSSL(true, "localhost");
  struct Row {
    const char* name;
    std::vector<SecCertificatePtr> presented;
    std::vector<SecCertificatePtr> anchors;
    bool only;
    bool trusted;
  } rows[] = {
      {"pinned self-signed leaf as the only anchor",
       {p.selfSigned.sec()},
       {p.selfSigned.sec()},
       true,
       true},
      {"self-signed leaf added to the system anchors",
       {p.selfSigned.sec()},
       {p.selfSigned.sec()},
       false,
       true},
      {"system chain still trusted beside added anchors",
       p.presented(p.leaf),
       {p.selfSigned.sec()},
       false,
       true},
      {"system chain refused when only other anchors count",
       p.presented(p.leaf),
       {p.selfSigned.sec()},
       true,
       false},
      {"an intermediate anchor ends the path",
       p.presented(p.leaf),
       {p.intermediate.sec()},
       true,
       true},
      {"no anchors at all", p.presented(p.leaf), {}, true, false},
  };
  for (const auto& row : rows) {
    auto trust = SecTrust::create(row.presented, {ssl});
    EXPECT_EQ(trust->setAnchorCertificates(row.anchors), platform::errSecSuccess);
    EXPECT_EQ(trust->setAnchorCertificatesOnly(row.only), platform::errSecSuccess);
    EXPECT_EQ(trust->evaluateWithError(), row.trusted) << row.name;
  }
}

TEST(SecTrustTest, TheChainHoldsOnlyCertificatesThatSignedTheirPredecessor) {
  auto& p = pki();
  struct Row {
    const char* name;
    std::vector<SecCertificatePtr> presented;
    bool evaluate;
    std::vector<SecCertificatePtr> chain;
  } rows[] = {
      {"before evaluation: leaf and its issuer",
       p.presented(p.leaf),
       false,
       {p.leaf.sec(), p.intermediate.sec()}},
      {"a certificate sent along is left out",
       {p.leaf.sec(), p.intermediate.sec(), p.unrelatedRoot.sec()},
       false,
       {p.leaf.sec(), p.intermediate.sec()}},
      {"the walk stops at the first non-signer",
       {p.leaf.sec(), p.unrelatedRoot.sec(), p.intermediate.sec()},
       false,
       {p.leaf.sec()}},
      {"a self-signed leaf with a CA attached stays alone",
       {p.selfSigned.sec(), p.intermediate.sec()},
       false,
       {p.selfSigned.sec()}},
      {"after evaluation: up to the anchor",
       p.presented(p.leaf),
       true,
       {p.leaf.sec(), p.intermediate.sec(), p.root.sec()}},
      {"a failed evaluation builds nothing",
       {p.selfSigned.sec(), p.intermediate.sec()},
       true,
       {p.selfSigned.sec()}},
  };
  for (const auto& row : rows) {
    auto trust = SecTrust::create(row.presented, {SecPolicy::createSSL(true, std::nullopt)});
    if (row.evaluate) trust->evaluateWithError();
    EXPECT_EQ(certificateData(trust->certificateChain()), certificateData(row.chain)) << row.name;
  }
  auto trust = SecTrust::create(p.presented(p.leaf), {});
  EXPECT_TRUE(*trust->copyKey() == *p.leaf.publicKey());
}

// ---- Revocation --------------------------------------------------------------------------------

class RevocationTest : public testing::Test {
 protected:
  void SetUp() override {
    PKI::shared().revocation.reset();
    platform::removeCachedRevocationLists();
  }
  void TearDown() override { PKI::shared().revocation.reset(); }
};

TEST_F(RevocationTest, StatusComesFromTheResponderOrTheListInTheAskedOrder) {
  auto& p = pki();
  constexpr std::uint32_t any = 3, ocsp = 1, crl = 2, preferCRL = 4, requirePositive = 8,
                          noNetwork = 16;
  struct Row {
    const char* name;
    std::uint32_t flags;
    std::vector<const Identity*> revoked;
    bool down;
    std::optional<bool> stapledRevoked;  // a stapled response for the leaf, saying revoked or not
    int verifyCode;
    int depth;
    int ocspHits;
    int crlHits;
  } rows[] = {
      {"good", any, {}, false, {}, X509_V_OK, 0, 2, 0},
      {"revoked leaf", any, {&p.revocable}, false, {}, X509_V_ERR_CERT_REVOKED, 0, 1, 0},
      {"revoked intermediate", any, {&p.intermediate}, false, {}, X509_V_ERR_CERT_REVOKED, 1, 2, 0},
      {"responder down passes soft", any, {}, true, {}, X509_V_OK, 0, 2, 2},
      {"responder down fails when a positive answer is required",
       any | requirePositive,
       {},
       true,
       {},
       X509_V_ERR_UNABLE_TO_GET_CRL,
       0,
       1,
       1},
      {"no network access fetches nothing",
       any | noNetwork,
       {&p.revocable},
       false,
       {},
       X509_V_OK,
       0,
       0,
       0},
      {"CRL only", crl, {&p.revocable}, false, {}, X509_V_ERR_CERT_REVOKED, 0, 0, 1},
      {"OCSP only, down", ocsp, {}, true, {}, X509_V_OK, 0, 2, 0},
      {"CRL preferred", any | preferCRL, {}, false, {}, X509_V_OK, 0, 0, 2},
      {"stapled revoked answer needs no network",
       any | noNetwork,
       {},
       false,
       true,
       X509_V_ERR_CERT_REVOKED,
       0,
       0,
       0},
      {"stapled good answer, intermediate undetermined",
       any | noNetwork | requirePositive,
       {},
       false,
       false,
       X509_V_ERR_UNABLE_TO_GET_CRL,
       1,
       0,
       0},
  };
  for (const auto& row : rows) {
    SetUp();
    for (const auto* identity : row.revoked)
      p.revocation.revoke(identity->serial());
    PKI::shared().revocation.down = row.down;
    auto trust =
        SecTrust::create(p.presented(p.revocable), {SecPolicy::createRevocation(row.flags)});
    if (row.stapledRevoked) {
      trust->setStapledOCSPResponse(
          testpki::ocspResponse(p.revocable, p.intermediate, *row.stapledRevoked));
    }
    platform::ErrorPtr error;
    const bool trusted = trust->evaluateWithError(&error);
    EXPECT_EQ(trusted, row.verifyCode == X509_V_OK) << row.name;
    if (!trusted) {
      auto* failure = dynamic_cast<const SecTrustError*>(error.get());
      ASSERT_NE(failure, nullptr) << row.name;
      EXPECT_EQ(failure->verifyCode(), row.verifyCode) << row.name;
      EXPECT_EQ(failure->depth(), row.depth) << row.name;
      EXPECT_EQ(trust->result(), row.verifyCode == X509_V_ERR_CERT_REVOKED
                                     ? SecTrustResultType::fatalTrustFailure
                                     : SecTrustResultType::recoverableTrustFailure)
          << row.name;
    }
    EXPECT_EQ(p.revocation.ocspHits.load(), row.ocspHits) << row.name;
    EXPECT_EQ(p.revocation.crlHits.load(), row.crlHits) << row.name;
  }
}

TEST_F(RevocationTest, AListIsKeptUntilItsNextUpdate) {
  auto& p = pki();
  for (int round = 0; round < 2; ++round) {
    auto trust = SecTrust::create(p.presented(p.revocable), {SecPolicy::createRevocation(2)});
    EXPECT_TRUE(trust->evaluateWithError());
  }
  EXPECT_EQ(p.revocation.crlHits.load(), 2);  // one per issuer, then from memory
  // Held lists still answer without the network.
  p.revocation.revoke(p.revocable.serial());
  auto trust =
      SecTrust::create(p.presented(p.revocable), {SecPolicy::createRevocation(2 | 8 | 16)});
  EXPECT_TRUE(trust->evaluateWithError());
  EXPECT_EQ(p.revocation.crlHits.load(), 2);
}

}  // namespace
