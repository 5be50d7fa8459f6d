// The network's public page and boards.json from the real hub: names and
// handles chosen to break out of HTML or JSON stay text, and the page
// holds up with no members and with a thousand.
#include <gtest/gtest.h>
#include <stdio.h>
#include <zlib.h>

#include <set>

#include "headless_browser.h"
#include "hub_test_util.h"
#include "testdir.h"

namespace {

std::string Today()
{
    char out[9];
    hub_utc_date((int64_t)time(nullptr), out);
    return out;
}

std::string Line(const std::string &name, int score, const char *kind, int sequence)
{
    return "grimby\t" + Today() + "\t" + name + "\t" + std::to_string(score) + "\t" + kind +
           "\t1765000000-" + std::to_string(sequence) + "-profile-0123456789abcdef.tsv\n";
}

std::string JsonText(const std::string &text)
{
    std::string out;
    for (char c : text) {
        if (c == '\t') out += "\\t";
        else if (c == '\n') out += "\\n";
        else if (c == '"' || c == '\\') out += std::string("\\") + c;
        else out += c;
    }
    return out;
}

HubReply Upload(const HubProcess &hub, TestBbs &b, const std::vector<std::string> &lines)
{
    std::string body = "{\"bbs\":\"" + b.name + "\",\"game\":\"grimby\",\"session\":\"" +
                       b.session + "\",\"seq\":" + std::to_string(++b.seq) +
                       ",\"timestamp\":" + std::to_string((long long)time(nullptr)) +
                       ",\"lines\":[";
    for (size_t i = 0; i < lines.size(); i++) body += (i ? ",\"" : "\"") + JsonText(lines[i]) + "\"";
    return hub.Signed("/v1/scores/upload", body + "]}", b.secret);
}

// A gzip stream unpacked whole, or "" when it is not one.
std::string Gunzip(const std::string &packed)
{
    z_stream z = {};
    if (inflateInit2(&z, 15 + 16) != Z_OK) return "";
    std::string out(1 << 20, '\0');
    z.next_in = (Bytef *)packed.data();
    z.avail_in = (uInt)packed.size();
    z.next_out = (Bytef *)&out[0];
    z.avail_out = (uInt)out.size();
    int rc = inflate(&z, Z_FINISH);
    out.resize(z.total_out);
    bool whole = rc == Z_STREAM_END && z.avail_in == 0;
    inflateEnd(&z);
    return whole ? out : "";
}

// A strict JSON reader that keeps every string it decodes (\u escapes
// below 0x80 only, all this hub writes): false unless the whole text is
// one well-formed value.
struct JsonCheck {
    const std::string &s;
    size_t i = 0;
    std::vector<std::string> strings;
    void Space() { while (i < s.size() && strchr(" \t\r\n", s[i])) i++; }
    bool String()
    {
        std::string out;
        for (i++; i < s.size() && s[i] != '"'; i++) {
            if ((unsigned char)s[i] < 0x20) return false;
            if (s[i] != '\\') { out += s[i]; continue; }
            char e = ++i < s.size() ? s[i] : 0;
            if (e == 'u' && i + 4 < s.size()) {
                out += (char)strtol(s.substr(i + 1, 4).c_str(), nullptr, 16);
                i += 4;
            } else if (strchr("\"\\/", e) && e) out += e;
            else if (e == 'n') out += '\n';
            else if (e == 't') out += '\t';
            else return false;
        }
        if (i >= s.size()) return false;
        i++;
        strings.push_back(out);
        return true;
    }
    bool Value(int depth)
    {
        Space();
        if (i >= s.size() || depth > 32) return false;
        char c = s[i];
        if (c == '"') return String();
        if (c == '{' || c == '[') {
            char end = c == '{' ? '}' : ']';
            i++;
            Space();
            if (i < s.size() && s[i] == end) return ++i, true;
            for (;;) {
                if (c == '{') {
                    Space();
                    if (i >= s.size() || s[i] != '"' || !String()) return false;
                    Space();
                    if (i >= s.size() || s[i++] != ':') return false;
                }
                if (!Value(depth + 1)) return false;
                Space();
                if (i < s.size() && s[i] == ',') { i++; continue; }
                return i < s.size() && s[i++] == end;
            }
        }
        for (const char *word : {"null", "true", "false"})
            if (s.compare(i, strlen(word), word) == 0) return i += strlen(word), true;
        size_t start = i;
        if (s[i] == '-') i++;
        while (i < s.size() && isdigit((unsigned char)s[i])) i++;
        return i > start && s[i - 1] != '-';
    }
    bool Whole() { bool ok = Value(0); Space(); return ok && i == s.size(); }
};

// Every tag of the page is one the hub writes, with attributes it writes
// and links only to itself or telnet: anything else is injected markup.
std::string MarkupFault(const std::string &html)
{
    static const std::set<std::string> tags = {
        "html", "head", "meta", "title", "link", "body", "header", "pre", "span",
        "h1", "h2", "p", "main", "section", "table", "thead", "tbody", "tr", "th", "td", "a",
        "footer", "script"};
    static const std::set<std::string> attrs = {"lang", "charset", "name", "content", "rel",
                                                "href", "class", "id", "aria-hidden", "src"};
    const std::string doctype = "<!DOCTYPE html>\n";
    if (html.compare(0, doctype.size(), doctype) != 0) return "no doctype";
    for (size_t i = html.find('<', doctype.size()); i != std::string::npos;
         i = html.find('<', i)) {
        size_t j = ++i;
        if (j < html.size() && html[j] == '/') j++;
        size_t name = j;
        while (j < html.size() && (isalnum((unsigned char)html[j]) || html[j] == '!')) j++;
        std::string tag = html.substr(name, j - name);
        if (!tags.count(tag)) return "tag <" + tag + "> at " + std::to_string(i);
        for (;;) {
            while (j < html.size() && html[j] == ' ') j++;
            if (j >= html.size()) return "unclosed tag";
            if (html[j] == '>') break;
            size_t a = j;
            while (j < html.size() && (isalpha((unsigned char)html[j]) || html[j] == '-')) j++;
            std::string attr = html.substr(a, j - a);
            if (tag == "script" && attr == "defer") continue;
            if (!attrs.count(attr) || j >= html.size() || html[j] != '=' || html[j + 1] != '"')
                return "attribute '" + attr + "' in <" + tag + ">";
            size_t end = html.find('"', j + 2);
            if (end == std::string::npos) return "unclosed value";
            std::string value = html.substr(j + 2, end - j - 2);
            if (attr == "src" && value != "page.js") return "script from " + value;
            if (attr == "href" && value != "page.css" && value != "boards.json" &&
                value.compare(0, 9, "telnet://") != 0)
                return "link to " + value;
            j = end + 1;
        }
        i = j;
    }
    return "";
}

TEST(HubPage, HostileNamesAndHandlesStayTextInPageAndJson)
{
    HubProcess hub("\"presence\":600");
    ASSERT_TRUE(hub.Start());
    // As sent inside the enrollment's JSON.
    TestBbs script(hub, "<script>alert(1)</script>");
    TestBbs quote(hub, "\\\"onerror=alert(2) x=\\\"");
    TestBbs cell(hub, "</td></tr></table><img src=x onerror=alert(3)>");
    ASSERT_FALSE(script.secret.empty());
    ASSERT_FALSE(quote.secret.empty());
    ASSERT_FALSE(cell.secret.empty());
    EXPECT_EQ(200, Upload(hub, script, {Line("<b>Ann</b>", 900, "story", 1)}).status);
    EXPECT_EQ(200, Upload(hub, quote, {Line("Bob\"'&", 800, "story", 1),
                                       Line("<i>Cy", 50, "daily", 2)}).status);
    cell.player = "<script>alert(4)</script>";
    EXPECT_EQ(200, SendChat(hub, cell, "poll", 0).status);

    // An address an older hub took unchecked must never become a link.
    ASSERT_EQ(0, hub.Stop());
    WriteDatabase(hub, "UPDATE bbs SET domain='javascript:alert(5)' WHERE name LIKE '<script>%';"
                       "UPDATE bbs SET domain='bbs.example.org:2323' WHERE name LIKE '\"%';");
    ASSERT_TRUE(hub.Start());
    EXPECT_EQ(200, SendChat(hub, cell, "poll", 0).status);

    HubReply page = hub.Get("/");
    ASSERT_EQ(200, page.status);
    EXPECT_EQ("text/html; charset=utf-8", page.header("Content-Type"));
    EXPECT_EQ("default-src 'self'", page.header("Content-Security-Policy"));
    EXPECT_EQ("nosniff", page.header("X-Content-Type-Options"));
    EXPECT_EQ("no-referrer", page.header("Referrer-Policy"));
    EXPECT_NE(std::string::npos, page.header("Cache-Control").find("max-age="));
    EXPECT_EQ("", MarkupFault(page.body));
    for (const char *text :
         {"&lt;script&gt;alert(1)&lt;/script&gt;", "&quot;onerror=alert(2) x=&quot;",
          "&lt;/td&gt;&lt;/tr&gt;&lt;/table&gt;&lt;img src=x onerror=alert(3)&gt;",
          "&lt;b&gt;Ann&lt;/b&gt;", "Bob&quot;&#39;&amp;", "&lt;i&gt;Cy",
          "<a href=\"telnet://bbs.example.org:2323\">"})
        EXPECT_NE(std::string::npos, page.body.find(text)) << text;
    EXPECT_EQ(std::string::npos, page.body.find("javascript:"));
    // Three BBSes, one player online on one of them: counts, never the handle.
    EXPECT_NE(std::string::npos, page.body.find("<span>1</span> players on <span>1</span> BBSes"));
    EXPECT_EQ(std::string::npos, page.body.find("alert(4)"));
    EXPECT_LT(page.body.find("&lt;b&gt;Ann"), page.body.find("Bob&quot;"));  // ranked

    HubReply json = hub.Get("/boards.json");
    ASSERT_EQ(200, json.status);
    EXPECT_EQ("nosniff", json.header("X-Content-Type-Options"));
    JsonCheck check{json.body};
    ASSERT_TRUE(check.Whole()) << json.body;
    std::set<std::string> texts(check.strings.begin(), check.strings.end());
    for (const char *text : {"<script>alert(1)</script>", "\"onerror=alert(2) x=\"",
                             "<b>Ann</b>", "Bob\"'&", "bbs.example.org:2323"})
        EXPECT_TRUE(texts.count(text)) << text;
    EXPECT_EQ(std::string::npos, json.body.find("javascript:"));
    EXPECT_EQ(std::string::npos, json.body.find("alert(4)"));

    // Unchanged data: the same tag, and a revalidation costs no body.
    HubReply again = hub.Get("/", "", page.etag);
    EXPECT_EQ(304, again.status);
    EXPECT_EQ("", again.body);
    EXPECT_EQ(304, hub.Get("/boards.json", "", json.etag).status);
}

TEST(HubPage, HandlesShownOnlyWhenTheOperatorSwitchesThemOn)
{
    HubProcess hub("\"presence\":600,\"page_show_handles\":1");
    ASSERT_TRUE(hub.Start());
    TestBbs b(hub, "Night Owl");
    b.player = "<script>alert(4)</script>";
    ASSERT_EQ(200, SendChat(hub, b, "poll", 0).status);
    HubReply page = hub.Get("/");
    EXPECT_EQ("", MarkupFault(page.body));
    EXPECT_NE(std::string::npos, page.body.find("&lt;script&gt;alert(4)&lt;/script&gt;"));
    JsonCheck check{hub.Get("/boards.json").body};
    ASSERT_TRUE(check.Whole());
    EXPECT_NE(check.strings.end(),
              std::find(check.strings.begin(), check.strings.end(), "<script>alert(4)</script>"));
}

// A handle and a player at their 32 bytes, all of it markup (each byte
// grows to an entity; a handle one byte longer is cut), and an address at
// its 80.
TEST(HubPage, HandlesPlayersAndAddressesAtTheirLimitsStayWholeAndText)
{
    HubProcess hub("\"presence\":600,\"page_show_handles\":1");
    ASSERT_TRUE(hub.Start());
    TestBbs b(hub, "Limit BBS");
    ASSERT_FALSE(b.secret.empty());
    std::string handle;
    while (handle.size() < 32) handle += "<&\"'>";
    handle.resize(32);
    b.player = JsonText(handle) + "X";  // the 33rd byte is cut
    ASSERT_EQ(200, SendChat(hub, b, "poll", 0).status);
    std::string player = "\"" + handle.substr(0, 30) + "&";
    ASSERT_EQ(200, Upload(hub, b, {Line(player, 700, "story", 1)}).status);
    std::string domain = std::string(63, 'a') + ".example.org:2323";
    ASSERT_EQ(0, hub.Stop());
    WriteDatabase(hub, "UPDATE bbs SET domain='" + domain + "';");
    ASSERT_TRUE(hub.Start());
    ASSERT_EQ(200, SendChat(hub, b, "poll", 0).status);

    auto escaped = [](const std::string &text) {
        std::string out;
        for (char c : text)
            out += c == '<' ? "&lt;" : c == '>' ? "&gt;" : c == '&' ? "&amp;" : c == '"' ? "&quot;"
                 : c == '\'' ? "&#39;" : std::string(1, c);
        return out;
    };
    HubReply page = hub.Get("/");
    ASSERT_EQ(200, page.status);
    EXPECT_EQ("", MarkupFault(page.body));
    EXPECT_NE(std::string::npos, page.body.find(escaped(handle) + "<")) << "the handle, whole";
    EXPECT_EQ(std::string::npos, page.body.find(escaped(handle) + "X"));
    EXPECT_NE(std::string::npos, page.body.find(escaped(player) + "<")) << "the player, whole";
    EXPECT_NE(std::string::npos, page.body.find("<a href=\"telnet://" + domain + "\">"));
    JsonCheck check{hub.Get("/boards.json").body};
    ASSERT_TRUE(check.Whole());
    std::set<std::string> texts(check.strings.begin(), check.strings.end());
    EXPECT_TRUE(texts.count(handle));
    EXPECT_TRUE(texts.count(player));
    EXPECT_TRUE(texts.count(domain));
}

TEST(HubPage, EmptyNetworkAndAThousandMembersAtTheNameLimit)
{
    HubProcess hub;
    ASSERT_TRUE(hub.Start());
    HubReply page = hub.Get("/");
    ASSERT_EQ(200, page.status);
    EXPECT_EQ("", MarkupFault(page.body));
    EXPECT_NE(std::string::npos, page.body.find("No BBS has joined yet."));
    EXPECT_NE(std::string::npos, page.body.find("No scores yet."));
    HubReply json = hub.Get("/boards.json");
    JsonCheck empty{json.body};
    EXPECT_TRUE(empty.Whole()) << json.body;
    EXPECT_NE(std::string::npos, json.body.find("\"bbses\":[]"));
    HubReply css = hub.Get("/page.css");
    EXPECT_EQ(200, css.status);
    EXPECT_EQ("text/css; charset=utf-8", css.header("Content-Type"));

    // A thousand members, each name at the 64-byte limit and full of markup.
    ASSERT_EQ(0, hub.Stop());
    std::string sql = "BEGIN;";
    for (int i = 0; i < 1000; i++) {
        char name[80];
        snprintf(name, sizeof name, "%04d<td>&\"'</td>", i);
        std::string full = name + std::string(64 - strlen(name), '>');
        std::string quoted;
        for (char c : full) quoted += c == '\'' ? "''" : std::string(1, c);
        sql += "INSERT INTO bbs(key,name,secret,enrolled) VALUES('k" + std::to_string(1000 + i) +
               "','" + quoted + "','s',1);";
    }
    WriteDatabase(hub, sql + "COMMIT;");
    ASSERT_TRUE(hub.Start());
    page = hub.Get("/");
    ASSERT_EQ(200, page.status);
    EXPECT_EQ("", MarkupFault(page.body));
    size_t last = 0;
    for (int i = 0; i < 1000; i++) {
        char name[80];
        snprintf(name, sizeof name, "%04d&lt;td&gt;&amp;&quot;&#39;&lt;/td&gt;&gt;&gt;", i);
        size_t at = page.body.find(name);
        ASSERT_NE(std::string::npos, at) << i;
        ASSERT_LT(last, at) << i;  // all there, in order
        last = at;
    }
    json = hub.Get("/boards.json");
    JsonCheck many{json.body};
    ASSERT_TRUE(many.Whole());
    EXPECT_EQ(1000u, (size_t)std::count_if(many.strings.begin(), many.strings.end(),
                                           [](const std::string &s) { return s == "name"; }));
}

// A browser gets the page packed, anyone else plain, and a cache is told
// the two apart: a packed reply under the plain one's tag (or the other way
// round) would hand a client bytes it cannot read.
TEST(HubPage, PackedForClientsThatTakeGzipPlainForOthersEachUnderItsOwnTag)
{
    HubProcess hub;
    ASSERT_TRUE(hub.Start());
    for (int i = 0; i < 40; i++) {
        TestBbs b(hub, "Member " + std::to_string(i));
        std::string player = "Player " + std::to_string(i);
        ASSERT_EQ(200, Upload(hub, b, {Line(player, 100 + i, "story", 1)}).status);
    }
    for (const char *path : {"/", "/boards.json"}) {
        SCOPED_TRACE(path);
        // The lobby's counts make a new page every ten seconds: the pair is
        // taken again if one came between.
        HubReply plain, packed;
        for (int attempt = 0; attempt < 3; attempt++) {
            plain = hub.Get(path);
            packed = hub.Get(path, "", "", "br, gzip;q=0.8, deflate");
            if (hub.Get(path).etag == plain.etag) break;
        }
        ASSERT_EQ(200, plain.status);
        EXPECT_EQ("", plain.header("Content-Encoding"));
        EXPECT_EQ("Accept-Encoding", plain.header("Vary"));
        ASSERT_EQ(200, packed.status);
        EXPECT_EQ("gzip", packed.header("Content-Encoding"));
        EXPECT_EQ("Accept-Encoding", packed.header("Vary"));
        EXPECT_LT(packed.body.size() * 3, plain.body.size());
        EXPECT_EQ(plain.body, Gunzip(packed.body));
        EXPECT_NE(plain.etag, packed.etag);
        for (const char *refused : {"gzip;q=0, identity", "br", "GZIP; Q=0.000", "*, gzip;q=0"})
            EXPECT_EQ(plain.body, hub.Get(path, "", "", refused).body) << refused;

        EXPECT_EQ(304, hub.Get(path, "", packed.etag, "gzip").status);
        EXPECT_EQ(304, hub.Get(path, "", plain.etag).status);
        HubReply other = hub.Get(path, "", packed.etag);  // holds the packed one, takes plain
        EXPECT_EQ(200, other.status);
        EXPECT_EQ(plain.body, other.body);
        EXPECT_EQ(200, hub.Get(path, "", plain.etag, "gzip").status);
    }
}

// The hub certificate's public key pin, for chromium's
// --ignore-certificate-errors-spki-list: the browser trusts this hub only.
std::string SpkiPin(const HubProcess &hub, const TestDir &dir)
{
    std::string pin = dir.path("pin");
    if (HubShell("openssl x509 -in '" + hub.dir() + "/cert.pem' -pubkey -noout |"
                 " openssl pkey -pubin -outform der | openssl dgst -sha256 -binary |"
                 " base64 > '" + pin + "'") != 0)
        return "";
    std::string spki = TestReadFile(pin);
    while (!spki.empty() && (spki.back() == '\n' || spki.back() == '\r')) spki.pop_back();
    return spki;
}

// A real browser loads the page from the hub over TLS, trusting only the
// hub's own certificate; the DOM it built after loading is what counts.
TEST(HubPage, BrowserShowsHostileNamesAsTextAndRunsNothing)
{
    if (HubShell("command -v chromium >/dev/null 2>&1") != 0) GTEST_SKIP() << "no chromium";
    HubProcess hub;
    ASSERT_TRUE(hub.Start());
    TestBbs img(hub, "<img src=x onerror=document.title='PWNED'>");
    TestBbs script(hub, "<script>document.title='PWNED'</script>");
    ASSERT_FALSE(img.secret.empty());
    ASSERT_FALSE(script.secret.empty());
    ASSERT_EQ(200, Upload(hub, img, {Line("</td><script>x()</script>", 900, "story", 1)}).status);
    TestDir dir;
    std::string spki = SpkiPin(hub, dir);
    std::string dom = dir.path("dom.html");
    int rc = HubShell("timeout 90 chromium --headless --no-sandbox --disable-gpu"
                      " --disable-background-networking --disable-component-update"
                      " --disable-sync --no-first-run --user-data-dir='" + dir.mkdir("profile") +
                      "' --ignore-certificate-errors-spki-list=" + spki +
                      " --dump-dom " + hub.url() + "/ > '" + dom + "' 2>/dev/null");
    ASSERT_EQ(0, rc);
    std::string body = TestReadFile(dom);
    ASSERT_NE(std::string::npos, body.find("Story board")) << body.substr(0, 2000);
    EXPECT_NE(std::string::npos, body.find("<title>GRIMBY network</title>"));
    EXPECT_EQ(std::string::npos, body.find("PWNED</title>"));
    EXPECT_EQ(std::string::npos, body.find("<img"));
    // The page's own script is the only one.
    EXPECT_EQ(body.find("<script src=\"page.js\""), body.find("<script"));
    EXPECT_EQ(std::string::npos, body.find("<script", body.find("<script") + 1));
    for (const char *text : {"&lt;img src=x onerror=document.title='PWNED'&gt;",
                             "&lt;script&gt;document.title='PWNED'&lt;/script&gt;",
                             "&lt;/td&gt;&lt;script&gt;x()&lt;/script&gt;"})
        EXPECT_NE(std::string::npos, body.find(text)) << text;
    // The boards before the members, as the page lays them out.
    EXPECT_LT(body.find("Story board"), body.find("Daily board"));
    EXPECT_LT(body.find("Daily board"), body.find("Member BBSes"));
}

// What the browser lays out: on a phone (360 px) and on a desk (1280 px)
// the three boards stand in order, top to bottom, and nothing, not even a
// name or an address at its limit without a space to break at, makes the
// page scroll sideways.
TEST(HubPage, BrowserLaysTheBoardsOutInOrderOnAPhoneAndOnADesk)
{
    if (!HeadlessBrowser::Available()) GTEST_SKIP() << "no chromium";
    HubProcess hub;
    ASSERT_TRUE(hub.Start());
    TestBbs b(hub, std::string(64, 'W'));
    ASSERT_FALSE(b.secret.empty());
    ASSERT_EQ(200, Upload(hub, b, {Line(std::string(32, 'M'), 9000, "story", 1),
                                   Line(std::string(32, 'M'), 900, "daily", 2)}).status);
    ASSERT_EQ(0, hub.Stop());
    WriteDatabase(hub, "UPDATE bbs SET domain='" + std::string(74, 'a') + ".x:2323';");
    ASSERT_TRUE(hub.Start());
    TestDir dir;
    std::string spki = SpkiPin(hub, dir);
    ASSERT_FALSE(spki.empty());
    HeadlessBrowser browser({"--ignore-certificate-errors-spki-list=" + spki});
    // innerWidth | scrollWidth | each heading's first words:top:left | each table's right edge
    const char *layout =
        "(function(){function r(e){return e.getBoundingClientRect()}"
        "var h=[].slice.call(document.querySelectorAll('h2')).map(function(e){"
        "return e.firstChild.textContent.trim()+':'+Math.round(r(e).top)+':'+Math.round(r(e).left)});"
        "var t=[].slice.call(document.querySelectorAll('table')).map(function(e){"
        "return Math.ceil(r(e).right)});"
        "return [innerWidth,document.documentElement.scrollWidth,h.join(','),t.join(',')].join('|')})()";
    struct View {
        int width, height;
        bool phone;
    };
    for (View view : {View{360, 740, true}, View{1280, 800, false}}) {
        SCOPED_TRACE(view.width);
        ASSERT_TRUE(browser.Viewport(view.width, view.height, view.phone)) << browser.error();
        ASSERT_TRUE(browser.Open(hub.url() + "/")) << browser.error();
        std::string text;
        ASSERT_TRUE(browser.Evaluate(layout, &text)) << browser.error();
        int inner = 0, scroll = 0;
        char headings[512] = "", tables[128] = "";
        ASSERT_GE(sscanf(text.c_str(), "%d|%d|%511[^|]|%127[^|]", &inner, &scroll, headings, tables),
                  4) << text;
        EXPECT_EQ(view.width, inner) << text;
        EXPECT_LE(scroll, inner) << "the page scrolls sideways: " << text;
        char story[32], daily[32], members[32];
        int top[3], left[3];
        ASSERT_EQ(9, sscanf(headings, "%31[^:]:%d:%d,%31[^:]:%d:%d,%31[^:]:%d:%d", story, &top[0],
                            &left[0], daily, &top[1], &left[1], members, &top[2], &left[2]))
            << headings;
        EXPECT_STREQ("Story board", story);
        EXPECT_STREQ("Daily board", daily);
        EXPECT_STREQ("Member BBSes", members);
        EXPECT_LT(top[0], top[1]);
        EXPECT_LT(top[1], top[2]);
        EXPECT_EQ(left[0], left[2]);
        int right[3], n = sscanf(tables, "%d,%d,%d", &right[0], &right[1], &right[2]);
        ASSERT_EQ(3, n) << tables;
        for (int i = 0; i < 3; i++) EXPECT_LE(right[i], inner) << tables;
    }
}

}  // namespace
