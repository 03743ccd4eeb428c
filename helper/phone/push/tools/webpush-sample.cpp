// Prints one encrypted push message and one signed token as JSON, with the
// subscriber's private key, so another implementation can check both
// (scripts/check-webpush.sh). Not part of the daemon.

#include <chrono>
#include <iostream>

#include <nlohmann/json.hpp>
#include <openssl/bn.h>
#include <openssl/core_names.h>

#include "helper/phone/push/Base64Url.h"
#include "helper/phone/push/Ece.h"
#include "helper/phone/push/OpenSsl.h"
#include "helper/phone/push/Payload.h"
#include "helper/phone/push/Vapid.h"

using namespace ringlark::helper::push;

int main()
{
    const ossl::Pkey subscriber = ossl::generateP256();
    BIGNUM* scalar = nullptr;
    std::string privateKey(32, '\0');
    if (!subscriber || EVP_PKEY_get_bn_param(subscriber.get(), OSSL_PKEY_PARAM_PRIV_KEY, &scalar) != 1
        || BN_bn2binpad(scalar, reinterpret_cast<unsigned char*>(privateKey.data()), 32) != 32) {
        std::cerr << "could not make the subscriber's key\n";
        return 1;
    }
    BN_clear_free(scalar);
    const std::string publicKey = ossl::publicPoint(subscriber.get()).value_or("");
    const std::string auth = ossl::randomBytes(16).value_or("");

    const std::string plaintext = payloadFor({"r-42", "Sign in to the staging site", "Enter the code sent to “you”",
                                              "Claude Code", "Chromium", "/r/r-42"});
    const Expected<std::string> body = encrypt(plaintext, publicKey, auth);
    const Expected<VapidKey> vapid = VapidKey::generate();
    if (!body || !vapid) {
        std::cerr << "encryption failed: " << body.error() << vapid.error() << "\n";
        return 1;
    }
    const std::string audience = "https://fcm.googleapis.com";
    const auto now = std::chrono::system_clock::now();
    const Expected<std::string> jwt = vapidJwt(*vapid, audience, "https://sample.tailnet.ts.net", now);
    if (!jwt) {
        std::cerr << "signing failed: " << jwt.error() << "\n";
        return 1;
    }

    const nlohmann::json out = {
        {"plaintext", plaintext},
        {"ua_private", base64UrlEncode(privateKey)},
        {"ua_public", base64UrlEncode(publicKey)},
        {"auth", base64UrlEncode(auth)},
        {"body", base64UrlEncode(*body)},
        {"vapid_public", vapid->publicKeyBase64Url()},
        {"jwt", *jwt},
        {"authorization", vapidAuthorization(*jwt, *vapid)},
        {"audience", audience},
        {"now", std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count()},
    };
    std::cout << out.dump(2) << "\n";
    return 0;
}
