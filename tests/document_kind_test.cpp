// Which document a text holds: every kind from the members it starts with
// (so kinds that share members are told apart, and a truncated document is
// still told), and nothing from what no kind writes.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "timelock/formats/document_kind.h"

namespace zt {
namespace {

using K = DocumentKind;

TEST(DocumentKind, ToldByTheirMembers) {
    const std::string hex(64, 'a');
    const struct {
        std::string text;
        std::optional<DocumentKind> kind;
    } cases[] = {
        {"{\n  \"puzzle\": {\"version\": 1, \"seed_1\": \"" + hex + "\"},\n  \"service_public_key\": \"x\"", K::manifest},
        {R"({"version":1,"epoch":7,"puzzle_id":"p","puzzle_artifact":"a.puzzle.json","service_signature":"s"})", K::paste},
        {R"({"version":1,"epoch":7,"sequence":1,"puzzle_id":"p","nonce":"n","ciphertext":"aead8e6b70)", K::record},
        {R"({"version":1,"plan_id":"p","epoch":5,"iterations":3,"dataset_key":"d","seeds":["s"])", K::plan},
        {R"({"version":1,"plan_id":"p","segment":7,"seed":"s","verify_key":"v"})", K::verification_task},
        {R"({"version":1,"plan_id":"p","epoch":5,"iterations":3,"dataset_key":"d","segment":7,"seed":"s"})", K::task},
        {R"({"version":1,"plan_id":"p","segment":7,"iterations":3,"states":["s"],"mac":"m"})", K::result},
        {R"({"version":2,"plan_id":"p","segment":7,"result_mac":"r","mac":"m"})", K::outcome},
        {"\n{\"version\":1,\"manifest_id\":\"" + hex + "\",\"segment\":0,\"iteration\":5,\"x\":\"x\"", K::checkpoint_log},
        {R"({"version":1,"plan_id":"p","segment":7,"iteration":5,"x":"x","mac":"m"})" "\n", K::progress_file},
        {"{\n  \"randomx\": \"2.0.1\",\n  \"algorithm\": \"v2\",\n  \"samples\": 1000,", K::calibration_report},
        {"  " + hex + "\r\n", K::key_file},
        // Member names inside string values are no members.
        {R"({"note":"{\"seed\":1,\"ciphertext\":2}","other":[{"tag_id":1}]})", std::nullopt},
        {std::string(63, 'a'), std::nullopt},
        {R"([1,"p",5,3,"d",7,"s"])", std::nullopt},  // positional: members unknown
        {"garbage\n", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(identify_document(c.text), c.kind) << c.text;
    EXPECT_EQ(document_name(K::manifest), "a signed manifest");
    EXPECT_EQ(document_name(K::record), "an encrypted record");
}

}  // namespace
}  // namespace zt
