#include "halyard/policies/server_trust_evaluation.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <set>
#include <variant>

#include "platform/security/revocation.h"
#include "support/test_files.h"
#include "support/test_pki.h"

namespace {

using halyard::HalyardError;
using platform::SecCertificatePtr;
using platform::SecKeyPtr;
using Reason = HalyardError::ServerTrustFailureReason;
using testpki::PKI;

PKI& pki() {
  return PKI::shared();
}

// Which reason an evaluation failed with: its index in the reason variant, or -1 when it passed.
constexpr int passed = -1;
template <class R, std::size_t I = 0>
constexpr int reason() {
  if constexpr (std::is_same_v<std::variant_alternative_t<I, Reason::Storage>, R>) {
    return static_cast<int>(I);
  } else {
    return reason<R, I + 1>();
  }
}

// Counts its calls and accepts.
struct CountingEvaluator : halyard::ServerTrustEvaluating {
  mutable int calls = 0;
  void evaluateTrust(const platform::SecTrustPtr&, const std::string&) const override { ++calls; }
};

struct Outcome {
  int reasonIndex = passed;
  std::optional<HalyardError> error;
};

Outcome run(const halyard::ServerTrustEvaluating& evaluator,
            std::vector<SecCertificatePtr> presented, const std::string& host = "localhost") {
  auto trust =
      platform::SecTrust::create(std::move(presented), {platform::SecPolicy::createBasicX509()});
  try {
    evaluator.evaluateTrust(trust, host);
    return {};
  } catch (const HalyardError& error) {
    auto* failed = error.as<HalyardError::ServerTrustEvaluationFailed>();
    if (failed == nullptr) return {-2, error};
    return {static_cast<int>(failed->reason.storage.index()), error};
  }
}

struct Row {
  const char* name;
  std::shared_ptr<const halyard::ServerTrustEvaluating> evaluator;
  std::vector<SecCertificatePtr> presented;
  int reasonIndex;
  std::string host = "localhost";
};

void expectRows(const std::vector<Row>& rows) {
  for (const auto& row : rows) {
    auto outcome = run(*row.evaluator, row.presented, row.host);
    EXPECT_EQ(outcome.reasonIndex, row.reasonIndex)
        << row.name << ": " << (outcome.error ? outcome.error->debugDescription() : "passed");
  }
}

template <class E, class... A>
std::shared_ptr<const halyard::ServerTrustEvaluating> make(A&&... args) {
  return std::make_shared<const E>(std::forward<A>(args)...);
}

TEST(ServerTrustManagerTest, LooksHostsUpExactly) {
  auto evaluator = make<halyard::DisabledTrustEvaluator>();
  struct ManagerRow {
    const char* name;
    bool allHostsMustBeEvaluated;
    std::string host;
    bool found;
    bool throws;
  } rows[] = {
      {"registered host", true, "localhost", true, false},
      {"other host, all required", true, "example.test", false, true},
      {"other host, not required", false, "example.test", false, false},
      {"capitals are another key", false, "LOCALHOST", false, false},
      {"capitals are another key, all required", true, "LOCALHOST", false, true},
  };
  for (const auto& row : rows) {
    halyard::ServerTrustManager manager({{"localhost", evaluator}}, row.allHostsMustBeEvaluated);
    try {
      auto found = manager.evaluatorForHost(row.host);
      EXPECT_FALSE(row.throws) << row.name;
      EXPECT_EQ(found == evaluator, row.found) << row.name;
    } catch (const HalyardError& error) {
      EXPECT_TRUE(row.throws) << row.name;
      auto* failed = error.as<HalyardError::ServerTrustEvaluationFailed>();
      ASSERT_NE(failed, nullptr) << row.name;
      auto* missing = std::get_if<Reason::NoRequiredEvaluator>(&failed->reason.storage);
      ASSERT_NE(missing, nullptr) << row.name;
      EXPECT_EQ(missing->host, row.host) << row.name;
    }
  }
  EXPECT_TRUE(halyard::ServerTrustManager({}).allHostsMustBeEvaluated);
  EXPECT_TRUE(halyard::DefaultTrustEvaluator().validateHost);
}

TEST(ServerTrustEvaluatorTest, DefaultAndDisabledEvaluation) {
  auto& p = pki();
  auto unknownRootLeaf =
      testpki::makeCertificate({.commonName = "localhost", .issuer = &p.unrelatedRoot});
  const int failed = reason<Reason::TrustEvaluationFailed>();
  auto checked = make<halyard::DefaultTrustEvaluator>(true);
  auto unchecked = make<halyard::DefaultTrustEvaluator>(false);
  auto disabled = make<halyard::DisabledTrustEvaluator>();
  expectRows({
      {"valid", checked, p.presented(p.leaf), passed},
      {"valid by address", checked, p.presented(p.leaf), passed, "127.0.0.1"},
      {"expired", checked, p.presented(p.expired), failed},
      {"not yet valid", checked, p.presented(p.notYetValid), failed},
      {"self-signed", checked, {p.selfSigned.sec()}, failed},
      {"unknown root", checked, {unknownRootLeaf.sec(), p.unrelatedRoot.sec()}, failed},
      {"wrong host, host validated", checked, p.presented(p.wrongHost), failed},
      {"wrong host, host not validated", unchecked, p.presented(p.wrongHost), passed},
      {"disabled accepts expired", disabled, p.presented(p.expired), passed},
      {"disabled accepts self-signed", disabled, {p.selfSigned.sec()}, passed},
  });
}

TEST(ServerTrustEvaluatorTest, CertificatePinning) {
  auto& p = pki();
  using Pinned = halyard::PinnedCertificatesTrustEvaluator;
  const int pinningFailed = reason<Reason::CertificatePinningFailed>();
  const int evaluationFailed = reason<Reason::TrustEvaluationFailed>();
  expectRows({
      {"leaf", make<Pinned>(std::vector{p.leaf.sec()}), p.presented(p.leaf), passed},
      {"intermediate", make<Pinned>(std::vector{p.intermediate.sec()}), p.presented(p.leaf),
       passed},
      {"root the server never sends", make<Pinned>(std::vector{p.root.sec()}), p.presented(p.leaf),
       passed},
      {"unrelated certificate", make<Pinned>(std::vector{p.unrelatedRoot.sec()}),
       p.presented(p.leaf), pinningFailed},
      {"empty list fails first, even on a bad chain",
       make<Pinned>(std::vector<SecCertificatePtr>{}), p.presented(p.expired),
       reason<Reason::NoCertificatesFound>()},
      {"pinned self-signed leaf accepted",
       make<Pinned>(std::vector{p.selfSigned.sec()}, true),
       {p.selfSigned.sec()},
       passed},
      {"self-signed leaf refused without acceptance",
       make<Pinned>(std::vector{p.selfSigned.sec()}, false),
       {p.selfSigned.sec()},
       evaluationFailed},
      {"pinned self-signed anchors refuse the real chain",
       make<Pinned>(std::vector{p.selfSigned.sec()}, true), p.presented(p.leaf), evaluationFailed},
      // A server that attaches the public CA certificate to a leaf of its own.
      {"attached CA certificate does not count",
       make<Pinned>(std::vector{p.intermediate.sec()}, false, false, false),
       {p.selfSigned.sec(), p.intermediate.sec()},
       pinningFailed},
      {"attached CA certificate, default validation",
       make<Pinned>(std::vector{p.intermediate.sec()}),
       {p.selfSigned.sec(), p.intermediate.sec()},
       evaluationFailed},
  });

  auto outcome = run(Pinned(std::vector{p.unrelatedRoot.sec()}), p.presented(p.leaf));
  ASSERT_TRUE(outcome.error);
  auto* failure = std::get_if<Reason::CertificatePinningFailed>(
      &outcome.error->as<HalyardError::ServerTrustEvaluationFailed>()->reason.storage);
  ASSERT_NE(failure, nullptr);
  EXPECT_EQ(failure->host, "localhost");
  ASSERT_EQ(failure->pinnedCertificates.size(), 1u);
  EXPECT_EQ(failure->pinnedCertificates[0]->data(), p.unrelatedRoot.der());
  ASSERT_EQ(failure->serverCertificates.size(), 3u);  // leaf, intermediate, root
  EXPECT_EQ(failure->serverCertificates[0]->data(), p.leaf.der());
  EXPECT_EQ(failure->serverCertificates[2]->data(), p.root.der());
}

TEST(ServerTrustEvaluatorTest, PublicKeyPinning) {
  auto& p = pki();
  using Keys = halyard::PublicKeysTrustEvaluator;
  const int pinningFailed = reason<Reason::PublicKeyPinningFailed>();
  expectRows({
      {"leaf key", make<Keys>(std::vector{p.leaf.publicKey()}), p.presented(p.leaf), passed},
      {"intermediate key", make<Keys>(std::vector{p.intermediate.publicKey()}), p.presented(p.leaf),
       passed},
      {"unrelated key", make<Keys>(std::vector{p.unrelatedRoot.publicKey()}), p.presented(p.leaf),
       pinningFailed},
      {"empty list", make<Keys>(std::vector<SecKeyPtr>{}), p.presented(p.leaf),
       reason<Reason::NoPublicKeysFound>()},
      {"attached CA key does not count",
       make<Keys>(std::vector{p.intermediate.publicKey()}, false, false),
       {p.selfSigned.sec(), p.intermediate.sec()},
       pinningFailed},
  });
  auto outcome = run(Keys(std::vector{p.unrelatedRoot.publicKey()}), p.presented(p.leaf));
  ASSERT_TRUE(outcome.error);
  auto* failure = std::get_if<Reason::PublicKeyPinningFailed>(
      &outcome.error->as<HalyardError::ServerTrustEvaluationFailed>()->reason.storage);
  ASSERT_NE(failure, nullptr);
  EXPECT_EQ(failure->host, "localhost");
  EXPECT_EQ(failure->pinnedKeys.size(), 1u);
  EXPECT_EQ(failure->serverKeys.size(), 3u);
}

TEST(ServerTrustEvaluatorTest, CompositeStopsAtTheFirstRefusal) {
  auto& p = pki();
  auto defaults = make<halyard::DefaultTrustEvaluator>();
  auto pinnedElsewhere =
      make<halyard::PinnedCertificatesTrustEvaluator>(std::vector{p.unrelatedRoot.sec()});
  auto counting = std::make_shared<const CountingEvaluator>();
  expectRows({
      {"default then pinning, pinning refuses",
       make<halyard::CompositeTrustEvaluator>(
           std::vector<halyard::ServerTrustEvaluatingPtr>{defaults, pinnedElsewhere}),
       p.presented(p.leaf), reason<Reason::CertificatePinningFailed>()},
      {"default refuses first",
       make<halyard::CompositeTrustEvaluator>(
           std::vector<halyard::ServerTrustEvaluatingPtr>{defaults, pinnedElsewhere, counting}),
       p.presented(p.expired), reason<Reason::TrustEvaluationFailed>()},
      {"empty accepts",
       make<halyard::CompositeTrustEvaluator>(std::vector<halyard::ServerTrustEvaluatingPtr>{}),
       p.presented(p.expired), passed},
  });
  EXPECT_EQ(counting->calls, 0);
}

TEST(ServerTrustEvaluatorTest, RevocationEvaluation) {
  auto& p = pki();
  p.revocation.reset();
  platform::removeCachedRevocationLists();
  using Revocation = halyard::RevocationTrustEvaluator;
  p.revocation.revoke(p.revocable.serial());
  expectRows({
      {"revoked leaf", make<Revocation>(), p.presented(p.revocable),
       reason<Reason::TrustEvaluationFailed>()},
      {"undefined option bit", make<Revocation>(true, true, Revocation::Options{0x20}),
       p.presented(p.revocable), reason<Reason::RevocationPolicyCreationFailed>()},
      {"unrevoked leaf", make<Revocation>(), p.presented(p.leaf), passed},
  });
  EXPECT_TRUE(Revocation().performDefaultValidation);
  EXPECT_EQ(Revocation().options.rawValue, 3u);
  p.revocation.reset();
}

TEST(ServerTrustHelpersTest, BundleCertificatesAreTheDERFilesWithCertificateExtensions) {
  auto& p = pki();
  testsupport::TemporaryDirectory folder;
  ASSERT_TRUE(folder.create("tovarine-bundle"));
  auto write = [&](const std::string& name, const std::vector<std::uint8_t>& bytes) {
    std::ofstream(std::filesystem::path(folder.path()) / name, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<long>(bytes.size()));
  };
  const auto pem = p.leaf.pem();
  write("a.cer", p.leaf.der());
  write("b.CRT", p.intermediate.der());
  write("c.der", p.root.der());
  write("d.crt", {pem.begin(), pem.end()});
  write("e.txt", p.selfSigned.der());
  write("f.cer", {'n', 'o', 't', ' ', 'a', ' ', 'c', 'e', 'r', 't'});
  const platform::Bundle bundle{std::filesystem::path(folder.path())};
  const auto found = halyard::certificates(bundle);
  std::set<std::vector<std::uint8_t>> data;
  for (const auto& c : found)
    data.insert(c->data());
  EXPECT_EQ(found.size(), 3u);
  EXPECT_EQ(data, (std::set{p.leaf.der(), p.intermediate.der(), p.root.der()}));
  EXPECT_EQ(halyard::publicKeys(bundle).size(), 3u);
  EXPECT_EQ(halyard::pathsForResourceTypes(bundle, {".cer", "cer", ".txt"}).size(), 3u);
  EXPECT_TRUE(
      halyard::certificates(platform::Bundle(std::filesystem::path(folder.path()) / "missing"))
          .empty());
}

}  // namespace
