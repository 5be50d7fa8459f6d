// The strict JSON reader: what it accepts, what it refuses, and what the
// lookups give back, including hostile documents.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>

#include "qorb_json.h"

namespace {

// Parses text in a fresh document (8 KB: not on the test's stack).
struct Doc {
    std::unique_ptr<cj_doc> doc{new cj_doc()};
    bool ok = false;
    explicit Doc(const std::string &text) : text_(text) { ok = cj_parse(doc.get(), text_.c_str()) == 1; }
    std::string Get(const char *key, size_t cap = 256, bool *found = nullptr) const
    {
        std::string out(cap ? cap : 1, 'X');
        int got = cj_get(doc.get(), key, &out[0], cap);
        if (found) *found = got == 1;
        return std::string(out.c_str());
    }
    int64_t Number(const char *key) const { return cj_number(doc.get(), key); }

private:
    std::string text_;
};

bool Accepts(const std::string &text)
{
    return Doc(text).ok;
}

std::string Nested(int levels, const std::string &inside)
{
    return std::string(levels, '[') + inside + std::string(levels, ']');
}

}  // namespace

TEST(JsonParse, OnlyAnObjectIsADocument)
{
    EXPECT_TRUE(Accepts("{}"));
    EXPECT_TRUE(Accepts(" \t\r\n{ }\n\v\f "));
    EXPECT_FALSE(Accepts("[]"));
    EXPECT_FALSE(Accepts("\"text\""));
    EXPECT_FALSE(Accepts("42"));
    EXPECT_FALSE(Accepts(""));
    EXPECT_FALSE(Accepts("{} x"));
    EXPECT_FALSE(Accepts("{}{}"));
    cj_doc doc;
    EXPECT_EQ(cj_parse(&doc, nullptr), 0);

    // A bare value passes cj_value; only cj_parse asks for an object.
    std::unique_ptr<cj_doc> bare(new cj_doc());
    bare->text = "[1, 2]";
    EXPECT_EQ(cj_value(bare.get(), 0), 0);
    EXPECT_EQ(bare->ntok, 3);
    EXPECT_EQ(bare->tok[0].next, 3);
    EXPECT_EQ(bare->tok[0].end, 6);
}

TEST(JsonParse, SyntaxErrorsAreRefused)
{
    for (const char *bad : {"{\"a\":1,}", "{\"a\":[1,]}", "{\"a\" 1}", "{a:1}", "{1:1}", "{\"a\":01}",
                            "{\"a\":1.}", "{\"a\":-}", "{\"a\":.5}", "{\"a\":truex}", "{\"a\":nul}",
                            "{\"a\":falsey}", "{\"a\":\"tab\there\"}", "{\"a\":\"line\nfeed\"}", "{\"a\":\"\\x\"}",
                            "{\"a\":\"\\u12\"}", "{\"a\":\"\\u12G4\"}", "{\"a\":\"open", "{\"a\":1", "{\"a\":",
                            "{\"a\":[}", "{\"a\":1\v}", "{\"a\"::1}", "{,}", "{\"a\":+1}", "{\"a\":1e}",
                            "{\"a\":1e+}", "{\"a\":\"\\"}) {
        EXPECT_FALSE(Accepts(bad)) << bad;
    }
}

TEST(JsonParse, ValidValuesAreAccepted)
{
    for (const char *good : {"{\"a\":-0}", "{\"a\":0.5e-3}", "{\"a\":1E+9}", "{\"a\":true}", "{\"a\":null}",
                             "{\"a\":false }", "{\"a\":\"caf\xc3\xa9\"}", "{\"a\":\"\\\"\\\\\\/\\b\\f\\n\\r\\t\\u0041\"}",
                             "{\"a\":[],\"b\":{},\"c\":[[]]}", "{ \"a\" : [ 1 , \"x\" , { \"y\" : null } ] }"}) {
        EXPECT_TRUE(Accepts(good)) << good;
    }
    // A scalar runs to at most 79 bytes.
    EXPECT_TRUE(Accepts("{\"a\":" + std::string(79, '1') + "}"));
    EXPECT_FALSE(Accepts("{\"a\":" + std::string(80, '1') + "}"));
}

TEST(JsonParse, DepthAndTokenLimits)
{
    // The root is depth 0; a value 16 levels below it is the deepest.
    EXPECT_TRUE(Accepts("{\"a\":" + Nested(15, "1") + "}"));
    EXPECT_TRUE(Accepts("{\"a\":" + Nested(16, "") + "}"));  // empty at the deepest level
    EXPECT_FALSE(Accepts("{\"a\":" + Nested(17, "") + "}"));
    EXPECT_FALSE(Accepts("{\"a\":" + Nested(16, "1") + "}"));
    EXPECT_FALSE(Accepts("{\"a\":" + Nested(100000, "") + "}"));  // refused without running out of stack

    // The root, a key and an array: 3 tokens, then 509 elements make 512.
    auto Array = [](int elements) {
        std::string text = "{\"a\":[";
        for (int i = 0; i < elements; i++) text += i ? ",0" : "0";
        return text + "]}";
    };
    EXPECT_TRUE(Accepts(Array(509)));
    EXPECT_FALSE(Accepts(Array(510)));
}

TEST(JsonLookup, KeysAndDecodedValues)
{
    Doc doc("{\"name\":\"Ada \\\"the\\\" \\u0041\\n\",\"n\":12.9,\"e\":1e3,\"t\":true,\"q\":\"42\","
            "\"obj\":{\"name\":\"inner\"},\"arr\":[1, 2],\"empty\":\"\",\"dup\":1,\"dup\":2,\"k\\u0065y\":7}");
    ASSERT_TRUE(doc.ok);
    EXPECT_EQ(doc.Get("name"), "Ada \"the\" A\n");
    EXPECT_EQ(doc.Get("t"), "true");
    EXPECT_EQ(doc.Get("obj"), "{\"name\":\"inner\"}");  // nested keys are not top-level
    EXPECT_EQ(doc.Get("arr"), "[1, 2]");
    bool found = false;
    EXPECT_EQ(doc.Get("empty", 256, &found), "");
    EXPECT_TRUE(found);
    EXPECT_EQ(doc.Number("n"), 12);
    EXPECT_EQ(doc.Number("e"), 1);
    EXPECT_EQ(doc.Number("t"), 0);
    EXPECT_EQ(doc.Number("q"), 42);
    EXPECT_EQ(doc.Number("dup"), 1);  // the first occurrence counts
    EXPECT_EQ(doc.Number("key"), 7);  // keys are compared decoded
    EXPECT_EQ(doc.Number("missing"), 0);
    doc.Get("inner", 256, &found);
    EXPECT_FALSE(found);
    EXPECT_EQ(cj_number(doc.doc.get(), "name"), 0);

    Doc empty("{}");
    ASSERT_TRUE(empty.ok);
    empty.Get("a", 256, &found);
    EXPECT_FALSE(found);
}

TEST(JsonLookup, CapacityAndUndecodableEscapes)
{
    Doc doc("{\"fifteen\":\"123456789012345\",\"sixteen\":\"1234567890123456\",\"high\":\"ab\\u00e9cd\","
            "\"zero\":\"ab\\u0000\",\"long\":" +
            std::string(79, '9') + "}");
    ASSERT_TRUE(doc.ok);
    bool found = false;
    EXPECT_EQ(doc.Get("fifteen", 16, &found), "123456789012345");
    EXPECT_TRUE(found);
    EXPECT_EQ(doc.Get("sixteen", 16, &found), "123456789012345");
    EXPECT_FALSE(found);
    EXPECT_EQ(doc.Get("high", 256, &found), "ab");
    EXPECT_FALSE(found);
    doc.Get("zero", 256, &found);
    EXPECT_FALSE(found);
    EXPECT_EQ(doc.Number("long"), INT64_MAX);  // read as strtoll reads it: saturated
    // A decoded key over 127 bytes ends the lookup: later keys are not found.
    Doc long_key("{\"" + std::string(128, 'k') + "\":1,\"b\":2}");
    ASSERT_TRUE(long_key.ok);
    EXPECT_EQ(long_key.Number("b"), 0);
    Doc key_127("{\"" + std::string(127, 'k') + "\":1,\"b\":2}");
    EXPECT_EQ(key_127.Number("b"), 2);
}

TEST(JsonParse, HostileBytesNeverOverrun)
{
    std::mt19937 random(2026);
    const std::string alphabet = "{}[]\":,\\u0123456789abcdefEe+-.tfnrl \t\r\n\x01\x7f\x80\xff";
    for (int round = 0; round < 20000; round++) {
        std::string text;
        int length = (int)(random() % 64);
        for (int i = 0; i < length; i++) text += alphabet[random() % alphabet.size()];
        Doc doc(text);
        if (doc.ok) {
            doc.Get("a");
            doc.Number("");
        }
    }
}
