#include "platform/security/revocation.h"

#include <curl/curl.h>
#include <openssl/ocsp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <chrono>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>

#include "platform/security/sec_policy.h"

namespace platform {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t maxOCSPResponse = 1 << 20;
constexpr std::size_t maxCRL = 16u << 20;
constexpr auto fetchBudget = std::chrono::seconds(5);
// Clock skew allowed between us and a responder.
constexpr long ocspSkewSeconds = 300;

enum class Status { good, revoked, undetermined };

struct CachedCRL {
  std::shared_ptr<X509_CRL> crl;
  std::time_t nextUpdate;
};

std::mutex crlMutex;
std::map<std::string, CachedCRL>& crlCache() {
  static std::map<std::string, CachedCRL> cache;
  return cache;
}

struct Body {
  std::vector<std::uint8_t> bytes;
  std::size_t limit;
  bool tooLarge = false;
};

std::size_t collect(char* data, std::size_t size, std::size_t count, void* context) {
  auto* body = static_cast<Body*>(context);
  const std::size_t n = size * count;
  if (n > body->limit - body->bytes.size()) {
    body->tooLarge = true;
    return 0;
  }
  body->bytes.insert(body->bytes.end(), data, data + n);
  return n;
}

// One bounded GET or POST over plain http; none on any failure.
std::optional<std::vector<std::uint8_t>> fetch(const std::string& url,
                                               const std::vector<std::uint8_t>* post,
                                               std::size_t limit, Clock::time_point deadline) {
  if (url.compare(0, 7, "http://") != 0) return std::nullopt;
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  if (left <= 0) return std::nullopt;
  std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> easy(curl_easy_init(), curl_easy_cleanup);
  if (!easy) return std::nullopt;
  Body body{{}, limit};
  CURL* h = easy.get();
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http");
  curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http");
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(h, CURLOPT_PROXY, "");
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(left));
  curl_easy_setopt(h, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(limit));
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, collect);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &body);
  curl_slist* headers = nullptr;
  if (post != nullptr) {
    headers = curl_slist_append(headers, "Content-Type: application/ocsp-request");
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, post->data());
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(post->size()));
  }
  const CURLcode code = curl_easy_perform(h);
  long status = 0;
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
  curl_slist_free_all(headers);
  if (code != CURLE_OK || body.tooLarge || status != 200) return std::nullopt;
  return std::move(body.bytes);
}

std::vector<std::string> ocspURLs(X509* certificate) {
  std::vector<std::string> urls;
  STACK_OF(OPENSSL_STRING)* list = X509_get1_ocsp(certificate);
  for (int i = 0; i < sk_OPENSSL_STRING_num(list); ++i) {
    urls.emplace_back(sk_OPENSSL_STRING_value(list, i));
  }
  X509_email_free(list);
  return urls;
}

std::vector<std::string> crlURLs(X509* certificate) {
  std::vector<std::string> urls;
  auto* points = static_cast<STACK_OF(DIST_POINT)*>(
      X509_get_ext_d2i(certificate, NID_crl_distribution_points, nullptr, nullptr));
  for (int i = 0; i < sk_DIST_POINT_num(points); ++i) {
    DIST_POINT* point = sk_DIST_POINT_value(points, i);
    if (point->distpoint == nullptr || point->distpoint->type != 0) continue;
    GENERAL_NAMES* names = point->distpoint->name.fullname;
    for (int j = 0; j < sk_GENERAL_NAME_num(names); ++j) {
      GENERAL_NAME* name = sk_GENERAL_NAME_value(names, j);
      if (name->type != GEN_URI) continue;
      const ASN1_IA5STRING* uri = name->d.uniformResourceIdentifier;
      urls.emplace_back(reinterpret_cast<const char*>(ASN1_STRING_get0_data(uri)),
                        static_cast<std::size_t>(ASN1_STRING_length(uri)));
    }
  }
  sk_DIST_POINT_pop_free(points, DIST_POINT_free);
  return urls;
}

// The status a DER OCSP response gives `certificate`, after checking who signed it and when.
Status ocspStatus(const std::vector<std::uint8_t>& der, X509* certificate, X509* issuer) {
  const unsigned char* cursor = der.data();
  std::unique_ptr<OCSP_RESPONSE, decltype(&OCSP_RESPONSE_free)> response(
      d2i_OCSP_RESPONSE(nullptr, &cursor, static_cast<long>(der.size())), OCSP_RESPONSE_free);
  if (!response || OCSP_response_status(response.get()) != OCSP_RESPONSE_STATUS_SUCCESSFUL) {
    return Status::undetermined;
  }
  std::unique_ptr<OCSP_BASICRESP, decltype(&OCSP_BASICRESP_free)> basic(
      OCSP_response_get1_basic(response.get()), OCSP_BASICRESP_free);
  if (!basic) return Status::undetermined;

  // Signed by the issuer itself, or by a responder the issuer certified for OCSP signing.
  std::unique_ptr<STACK_OF(X509), void (*)(STACK_OF(X509)*)> issuers(
      sk_X509_new_null(), [](STACK_OF(X509) * s) { sk_X509_free(s); });
  sk_X509_push(issuers.get(), issuer);
  std::unique_ptr<X509_STORE, decltype(&X509_STORE_free)> store(X509_STORE_new(), X509_STORE_free);
  bool verified = OCSP_basic_verify(basic.get(), issuers.get(), store.get(), OCSP_TRUSTOTHER) == 1;
  if (!verified) {
    X509_STORE_add_cert(store.get(), issuer);
    X509_STORE_set_flags(store.get(), X509_V_FLAG_PARTIAL_CHAIN);
    verified = OCSP_basic_verify(basic.get(), issuers.get(), store.get(), 0) == 1;
  }
  if (!verified) return Status::undetermined;

  std::unique_ptr<OCSP_CERTID, decltype(&OCSP_CERTID_free)> id(
      OCSP_cert_to_id(nullptr, certificate, issuer), OCSP_CERTID_free);
  int status = -1, reason = -1;
  ASN1_GENERALIZEDTIME *revokedAt = nullptr, *thisUpdate = nullptr, *nextUpdate = nullptr;
  if (!id || OCSP_resp_find_status(basic.get(), id.get(), &status, &reason, &revokedAt, &thisUpdate,
                                   &nextUpdate) != 1) {
    return Status::undetermined;
  }
  if (OCSP_check_validity(thisUpdate, nextUpdate, ocspSkewSeconds, -1) != 1) {
    return Status::undetermined;
  }
  if (status == V_OCSP_CERTSTATUS_GOOD) return Status::good;
  if (status == V_OCSP_CERTSTATUS_REVOKED) return Status::revoked;
  return Status::undetermined;
}

Status ocspCheck(X509* certificate, X509* issuer, const std::vector<std::uint8_t>* stapled,
                 bool network, Clock::time_point deadline) {
  if (stapled != nullptr) {
    if (auto status = ocspStatus(*stapled, certificate, issuer); status != Status::undetermined) {
      return status;
    }
  }
  if (!network) return Status::undetermined;
  std::unique_ptr<OCSP_REQUEST, decltype(&OCSP_REQUEST_free)> request(OCSP_REQUEST_new(),
                                                                      OCSP_REQUEST_free);
  OCSP_CERTID* id = OCSP_cert_to_id(nullptr, certificate, issuer);
  if (!request || id == nullptr || OCSP_request_add0_id(request.get(), id) == nullptr) {
    OCSP_CERTID_free(id);
    return Status::undetermined;
  }
  unsigned char* out = nullptr;
  const int length = i2d_OCSP_REQUEST(request.get(), &out);
  if (length <= 0) return Status::undetermined;
  std::vector<std::uint8_t> body(out, out + length);
  OPENSSL_free(out);
  for (const auto& url : ocspURLs(certificate)) {
    auto der = fetch(url, &body, maxOCSPResponse, deadline);
    if (!der) continue;
    if (auto status = ocspStatus(*der, certificate, issuer); status != Status::undetermined) {
      return status;
    }
  }
  return Status::undetermined;
}

std::shared_ptr<X509_CRL> verifiedCRL(const std::vector<std::uint8_t>& der, X509* issuer) {
  const unsigned char* cursor = der.data();
  std::shared_ptr<X509_CRL> crl(d2i_X509_CRL(nullptr, &cursor, static_cast<long>(der.size())),
                                X509_CRL_free);
  if (!crl || cursor != der.data() + der.size()) return nullptr;
  if (X509_NAME_cmp(X509_CRL_get_issuer(crl.get()), X509_get_subject_name(issuer)) != 0) {
    return nullptr;
  }
  EVP_PKEY* key = X509_get0_pubkey(issuer);
  if (key == nullptr || X509_CRL_verify(crl.get(), key) != 1) return nullptr;
  return crl;
}

bool currentCRL(const X509_CRL* crl) {
  const ASN1_TIME* last = X509_CRL_get0_lastUpdate(crl);
  const ASN1_TIME* next = X509_CRL_get0_nextUpdate(crl);
  if (last == nullptr || X509_cmp_current_time(last) > 0) return false;
  return next == nullptr || X509_cmp_current_time(next) > 0;
}

std::time_t nextUpdateOf(const X509_CRL* crl) {
  const ASN1_TIME* next = X509_CRL_get0_nextUpdate(crl);
  struct tm when {};
  if (next == nullptr || ASN1_TIME_to_tm(next, &when) != 1) return std::time(nullptr) + 3600;
  return timegm(&when);
}

Status crlCheck(X509* certificate, X509* issuer, bool network, Clock::time_point deadline) {
  for (const auto& url : crlURLs(certificate)) {
    std::shared_ptr<X509_CRL> crl;
    {
      std::lock_guard lock(crlMutex);
      auto& cache = crlCache();
      if (auto it = cache.find(url); it != cache.end()) {
        if (it->second.nextUpdate > std::time(nullptr)) {
          crl = it->second.crl;
        } else {
          cache.erase(it);
        }
      }
    }
    if (crl && X509_NAME_cmp(X509_CRL_get_issuer(crl.get()), X509_get_subject_name(issuer)) != 0) {
      crl.reset();
    }
    if (!crl && network) {
      if (auto der = fetch(url, nullptr, maxCRL, deadline)) {
        crl = verifiedCRL(*der, issuer);
        if (crl && currentCRL(crl.get())) {
          std::lock_guard lock(crlMutex);
          crlCache()[url] = CachedCRL{crl, nextUpdateOf(crl.get())};
        }
      }
    }
    if (!crl || !currentCRL(crl.get())) continue;
    X509_REVOKED* entry = nullptr;
    return X509_CRL_get0_by_cert(crl.get(), &entry, certificate) == 1 ? Status::revoked
                                                                      : Status::good;
  }
  return Status::undetermined;
}

}  // namespace

void removeCachedRevocationLists() {
  std::lock_guard lock(crlMutex);
  crlCache().clear();
}

namespace security_detail {

std::optional<RevocationFailure> checkRevocation(const std::vector<X509*>& chain,
                                                 std::uint32_t flags,
                                                 const std::vector<std::uint8_t>* stapledLeaf) {
  bool useOCSP = (flags & SecPolicy::revocationOCSPMethod) != 0;
  bool useCRL = (flags & SecPolicy::revocationCRLMethod) != 0;
  if (!useOCSP && !useCRL) useOCSP = useCRL = true;
  const bool crlFirst = (flags & SecPolicy::revocationPreferCRL) != 0;
  const bool network = (flags & SecPolicy::revocationNetworkAccessDisabled) == 0;
  const bool requirePositive = (flags & SecPolicy::revocationRequirePositiveResponse) != 0;
  const auto deadline = Clock::now() + fetchBudget;

  for (std::size_t i = 0; i + 1 < chain.size(); ++i) {
    X509* certificate = chain[i];
    X509* issuer = chain[i + 1];
    const auto* stapled = i == 0 ? stapledLeaf : nullptr;
    Status status = Status::undetermined;
    auto tryOCSP = [&] {
      if (useOCSP && status == Status::undetermined) {
        status = ocspCheck(certificate, issuer, stapled, network, deadline);
      }
    };
    auto tryCRL = [&] {
      if (useCRL && status == Status::undetermined) {
        status = crlCheck(certificate, issuer, network, deadline);
      }
    };
    if (crlFirst) {
      tryCRL();
      tryOCSP();
    } else {
      tryOCSP();
      tryCRL();
    }
    if (status == Status::revoked) {
      return RevocationFailure{X509_V_ERR_CERT_REVOKED, "certificate revoked", static_cast<int>(i)};
    }
    if (status == Status::undetermined && requirePositive) {
      return RevocationFailure{X509_V_ERR_UNABLE_TO_GET_CRL,
                               "revocation status could not be determined", static_cast<int>(i)};
    }
  }
  return std::nullopt;
}

}  // namespace security_detail
}  // namespace platform
