// Server-side includes on a served tree: stored HTML pages built line by line, the bytes each
// directive writes, includes of every kind, conditionals, nesting limits and the error page.
#include "http/site.h"
#include "http/ssi.h"

#include <cstdlib>
#include <tuple>

namespace {

using namespace qtest;

std::string ssi_error(const std::string& line)
{
    return "<html><body><pre>quorvel error: invalid ssi instruction\n" + line +
           "...</pre></body></html>\r\n";
}

// The text host functions below print into the capture an include hands them.
template <const char* text>
char* capture(envelope* request, envelope* out)
{
    ++calls;
    EXPECT_EQ(request->type, uint32_t(quorvel_obj_connection));
    EXPECT_EQ(out->type, uint32_t(quorvel_obj_buffer));
    quorvel_printf(out, "%s", text);
    return text[0] == '!' ? quorvel_make_return_value("no page") : nullptr;
}
constexpr char echo_query[] = "[<!--#echo var=\"query\" -->]\n";
constexpr char include_self[] = "<!--#include virtual=\"/self\" -->\n";
constexpr char exec_touch[] = "<!--#exec cmd=\"touch ran\" -->\n";
constexpr char refused[] = "!half a page";
constexpr char converted[] = "converted <!--#echo var=\"QUERY\" -->\n";
template <const char* text>
char* handle(envelope* request, envelope* out, const char* target)
{
    target_seen = target;
    return capture<text>(request, out);
}

class Ssi : public Site {
protected:
    void SetUp() override
    {
        Site::SetUp();
        server.flags |= SERVER_SSI;
        for (auto [uri, fn] : {std::pair{"/query", &capture<echo_query>},
                               {"/self", &capture<include_self>},
                               {"/exec", &capture<exec_touch>},
                               {"/refuse", &capture<refused>}})
            map(server.get_uris, uri, fn);
        for (auto [ext, fn] : {std::pair{"conv", &handle<converted>}, {"bad", &handle<refused>}}) {
            mime_record row{fn, const_cast<char*>("text/plain"), 1};
            htable_store(server.mime_table, ext, 4, &row, sizeof(row), true, nullptr);
        }
        dir.write("www/doc.conv", "raw conv\n");
        dir.write("www/doc.bad", "raw bad <!--#echo var=\"QUERY\" -->\n");
    }
    // The body a client gets for `stored` kept at `path` and asked for with `query`; the
    // answer must be 200 with a Content-Length that counts the body.
    std::string page(const std::string& stored, const std::string& query = "",
                     const std::string& headers = "", const std::string& path = "/p.html")
    {
        store(path, stored);
        Reply r = get(path + query, headers);
        EXPECT_EQ(r.head().at(0), "HTTP/1.0 200 OK") << stored;
        EXPECT_EQ(r.head().at(4), "Content-Length: " + std::to_string(r.body().size()));
        return r.body();
    }
};

TEST_F(Ssi, PagesWithoutDirectivesAndOtherTypesComeOutByteForByte)
{
    const char head[] = "100% %s%n\r\n<!--#endif -->\n<!--#bogus x -->\n<!-- c -->\0nul\n";
    const std::string plain =
        std::string(head, sizeof(head) - 1) + std::string(5000, 'w') + "\nno end";
    EXPECT_TRUE(page(plain) == plain);
    EXPECT_EQ(page(""), "");
    const std::string directive = "<!--#echo var=\"QUERY\" -->";
    EXPECT_EQ(page(directive, "", "", "/p.txt"), directive); // text/plain
    server.flags &= ~SERVER_SSI;
    EXPECT_EQ(page(directive), directive);
}

TEST_F(Ssi, EchoPrintsVariablesEscapedInAnyCaseThenTheEnvironment)
{
    ::setenv("QUORVEL_SSI_ONLY_ENV", "from env <&>", 1);
    ::setenv("QUORVEL_SSI_BOTH", "env loses", 1);
    EXPECT_EQ(page("text <!--#echo var=\"QUERY\" --> more\n", "?x=1"), "text x=1 more\n");
    EXPECT_EQ(page("<!--#echo var=\"x-name\" -->|\n<!--#echo var=\"X-NAME\" -->\n", "",
                   "X-Name: <b>&'\"\r\n"),
              "&lt;b&gt;&amp;&#39;&quot;|\n&lt;b&gt;&amp;&#39;&quot;\n");
    EXPECT_EQ(page("<!--#set var=\"v\" value=\"hello\" -->\n<!--#echo var=\"V\" -->\n"),
              "\nhello\n");
    // The table wins over the environment; only the first directive of a line runs.
    EXPECT_EQ(page("<!--#echo var=\"quorvel_ssi_only_env\" -->;\n"
                   "<!--#set var=\"Quorvel_SSI_Both\" value=\"table\" -->\n"
                   "<!--#echo var=\"QUORVEL_SSI_BOTH\" --> <!--#echo var=\"QUERY\" -->\n"
                   "<!--#echo var=\"QUORVEL_SSI_NEVER_SET\" -->.\n",
                   "?q"),
              "from env &lt;&amp;&gt;;\n\ntable <!--#echo var=\"QUERY\" -->\n.\n");
    // Long values are escaped whole.
    std::string value, escaped;
    for (int i = 0; i < 700; ++i)
        value += "a<", escaped += "a&lt;";
    EXPECT_EQ(page("<!--#echo var=\"X-Long\" -->", "", "X-Long: " + value + "\r\n"), escaped);
    log.clear();
    const std::string bad = "<!--#echo name=\"QUERY\" -->\n";
    EXPECT_EQ(page("before\n" + bad), ssi_error(bad));
    EXPECT_EQ(log.text(), "error (ssi_parseecho, 12248): invalid #echo, missing var=\n");
}

TEST_F(Ssi, SetTakesTextTheEnvironmentAndAnEscapedDollar)
{
    ::setenv("QUORVEL_SSI_SET", "env value", 1);
    ::unsetenv("QUORVEL_SSI_UNSET");
    EXPECT_EQ(page("<!--#set var=\"a\" value=\"$QUORVEL_SSI_SET\" -->\n<!--#echo var=\"a\" -->|\n"
                   "<!--#set var=\"host\" value=\"\\$HOME\" -->\n<!--#echo var=\"Host\" -->\n",
                   "", "Host: example\r\n"),
              "\nenv value|\n\n$HOME\n");
    for (auto [line, report] :
         {std::pair{"<!--#set var=\"a\" value=\"$QUORVEL_SSI_UNSET\" -->\n", "(htable_store, "},
          {"<!--#set name=\"a\" value=\"b\" -->\n", "(ssi_parseset, 12905): invalid #set, "
                                                    "missing var=\n"},
          {"<!--#set var=\"a\" \"b\" -->\n", "(ssi_parseset, 12920): invalid #set, missing "
                                             "value=\n"}}) {
        log.clear();
        EXPECT_EQ(page(line), ssi_error(line));
        EXPECT_TRUE(log.contains(report)) << log.text();
    }
}

TEST_F(Ssi, ExecOutputIsEscapedAndRefusedInCapturedOutput)
{
    EXPECT_EQ(page("<!--#exec cmd=\"echo a.b\" -->"), "a&#46;b\n");
    EXPECT_EQ(page("<!--#exec cmd=\"printf '<x>%s' 1500\" -->;"), "&#60;x&#62;1500;");
    // Lines longer than the read area arrive in pieces; none is lost.
    EXPECT_EQ(page("<!--#exec cmd=\"head -c 1500 /dev/zero | tr '\\0' a\" -->"),
              std::string(1500, 'a'));
    // A command that runs from an included file is the site's own.
    dir.write("www/run.html", "<!--#exec cmd=\"echo from file\" -->");
    EXPECT_EQ(page("<!--#include file=\"run.html\" -->"), "from file\n");

    log.clear();
    std::filesystem::remove("ran");
    const std::string line = "<!--#include virtual=\"/exec\" -->\n";
    EXPECT_EQ(page(line), ssi_error(line));
    EXPECT_TRUE(log.contains("(ssi_parseexec, 12497): #exec refused in the output of a host "
                             "function\n"));
    EXPECT_FALSE(std::filesystem::exists("ran"));
}

TEST_F(Ssi, IncludesOfFilesFunctionsStoredContentAndHandlers)
{
    dir.write("www/sub/a.txt", "sub a\n");
    dir.write("www/sub/inc/one.html", "one <!--#include file=\"two.html\" -->");
    dir.write("www/sub/inc/two.html", "two <!--#echo var=\"QUERY\" -->\n");
    dir.write("www/..notes.txt", "dots in a name\n");
    // file= below the directory of the page's own path, a leading '/' included; includes in an
    // included file are below its own directory.
    EXPECT_EQ(page("<!--#include file=\"a.txt\" -->\n<!--#include file=\"/a.txt\" -->\n"
                   "<!--#include file=\"inc\\one.html\" -->",
                   "?q", "", "/sub/page.html"),
              "sub a\n\nsub a\n\none two q\n");
    EXPECT_EQ(page("<!--#include file=\"..notes.txt\" -->"), "dots in a name\n");
    EXPECT_EQ(page("<!--#include virtual=\"/sub/inc/one.html\" -->", "?v"), "one two v\n");
    EXPECT_EQ(page("<!--#include virtual=\"/query\" -->", "?fn"), "[fn]\n");
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(page("<!--#include virtual=\"/query\" -->"), "[]\n");
    store("/snippet", "stored <!--#echo var=\"QUERY\" -->\n");
    EXPECT_EQ(page("<!--#include virtual=\"/snippet\" -->", "?s"), "stored s\n");
    // A MIME handler gets the resolved path for virtual= and the value as written for file=.
    EXPECT_EQ(page("<!--#include virtual=\"/doc.conv\" -->", "?m"), "converted m\n");
    EXPECT_EQ(target_seen, root + "/doc.conv");
    EXPECT_EQ(page("<!--#include file=\"doc.conv\" -->", "?m"), "converted m\n");
    EXPECT_EQ(target_seen, "doc.conv");
    // A failing handler leaves the file itself to be included.
    EXPECT_EQ(page("<!--#include virtual=\"/doc.bad\" -->", "?h"), "raw bad h\n");
}

TEST_F(Ssi, FailedIncludesEndInTheErrorPageOrTheStatus)
{
    dir.write("www/docs/.htpasswd", "user:password\n");
    for (const std::string& value : std::vector<std::string>{
             "file=\"missing.txt\"", "file=\"../secret.txt\"", "file=\"docs\\..\\..\\secret.txt\"",
             "file=\"docs/.htpasswd\"", "virtual=\"/refuse\"", "name=\"a.txt\"", ""}) {
        const std::string line = "<!--#include " + value + " -->\n";
        EXPECT_EQ(page("before\n" + line + "after\n"), ssi_error(line)) << value;
    }
    EXPECT_TRUE(log.contains("(quorvel_ssi_parsincl, 12286): invalid path \"../secret.txt\""));
    // A path that would not fit its area, below a page of a long path.
    const std::string far = "/" + std::string(200, 'd') + "/" + std::string(200, 'e') + "/p.html";
    const std::string too_long = "<!--#include file=\"" + std::string(700, 'n') + "\" -->\n";
    EXPECT_EQ(page(too_long, "", "", far), ssi_error(too_long));
    EXPECT_TRUE(log.contains("(quorvel_ssi_parsincl, 12288): path of nnn"));
    // A virtual= path that is not there answers for the whole page.
    store("/p.html", "x <!--#include virtual=\"/nothing.html\" -->\n");
    EXPECT_EQ(get("/p.html").body(), error_page(STATUS_NOT_FOUND));
    store("/p.html", "<!--#include virtual=\"/docs/.htpasswd\" -->\n");
    EXPECT_EQ(get("/p.html").head()[0], "HTTP/1.0 403 Forbidden");
}

TEST_F(Ssi, IncludesAndConditionalsNestSixteenDeep)
{
    for (int k = 0; k < 16; ++k)
        store("/c" + std::to_string(k),
              "<!--#include virtual=\"/c" + std::to_string(k + 1) + "\" -->");
    store("/c16", "bottom\n");
    EXPECT_EQ(page("<!--#include virtual=\"/c1\" -->"), "bottom\n");
    log.clear();
    const std::string too_deep = "<!--#include virtual=\"/c0\" -->";
    EXPECT_EQ(page(too_deep), ssi_error(too_deep));
    EXPECT_TRUE(log.contains("(quorvel_ssi_parsincl, 12284): includes and conditionals nested "
                             "more than 16 deep\n"));
    // A page or a function that includes itself stops at the limit; the next request is served.
    const std::string self = "<!--#include virtual=\"/p.html\" -->\n";
    EXPECT_EQ(page(self), ssi_error(self));
    const std::string function = "<!--#include virtual=\"/self\" -->\n";
    EXPECT_EQ(page(function), ssi_error(function));
    EXPECT_EQ(calls, 16);
    EXPECT_EQ(page("alive\n"), "alive\n");

    auto nest = [](int n, const std::string& inner) {
        std::string nested;
        for (int i = 0; i < n; ++i)
            nested += "<!--#if expr=\"/a/ = /a/\" -->\n";
        nested += inner;
        for (int i = 0; i < n; ++i)
            nested += "<!--#endif -->\n";
        return nested;
    };
    EXPECT_EQ(page(nest(16, "deep\n")), "deep\n" + std::string(16, '\n'));
    EXPECT_EQ(page(nest(17, "deep\n")), ssi_error("<!--#if expr=\"/a/ = /a/\" -->\n"));
    // Conditionals and includes count together.
    store("/c16", nest(1, "inner\n"));
    EXPECT_EQ(page("<!--#include virtual=\"/c16\" -->"), "inner\n\n");
    const std::string sixteen = "<!--#include virtual=\"/c1\" -->";
    EXPECT_EQ(page(sixteen), ssi_error(sixteen));
}

TEST_F(Ssi, ConditionalsRunOneBranch)
{
    const std::string choice = "<!--#if expr=\"${QUERY} = /a/\" -->\nyes\n<!--#else -->\nno\n"
                               "<!--#endif -->\n";
    EXPECT_EQ(page(choice, "?a"), "yes\n\n");
    EXPECT_EQ(page(choice, "?b"), "no\n\n\n");
    // A chain of many branches does not deepen; text around a taken directive follows the
    // block, the #elif's before the #if's.
    std::string chain = "[<!--#if expr=\"${QUERY} = /0/\" -->(\n0\n";
    for (int i = 1; i < 40; ++i)
        chain += "<!--#elif expr=\"${QUERY} = /" + std::to_string(i) + "/\" -->" +
                 std::to_string(i) + "\n" + std::to_string(i) + "\n";
    chain += "<!--#else -->\nnone\n<!--#endif -->\n";
    EXPECT_EQ(page(chain, "?2"), "[2\n2\n1\n(\n");
    EXPECT_EQ(page(chain, "?x").substr(0, 6), "[none\n");
    // Conditionals inside a branch passed over are skipped whole.
    EXPECT_EQ(page("<!--#if expr=\"/a/ = /b/\" -->\n<!--#if expr=\"${UNSET}\" -->\nx\n"
                   "<!--#else -->\n<!--#endif -->\n<!--#else -->\nz\n<!--#endif -->\nend\n"),
              "z\n\n\nend\n");

    log.clear();
    // Failures show the outermost directive's line.
    const std::string if_true = "<!--#if expr=\"/a/ = /a/\" -->\n";
    const std::string if_false = "<!--#if expr=\"/a/ = /b/\" -->\n";
    const std::string if_unset = "<!--#if expr=\"${UNSET} = /a/\" -->\n";
    const std::string no_expr = "<!--#if exp=\"/a/\" -->\n";
    const std::string open_echo = "<!--#echo var=\"QUERY\"\n";
    for (auto [stored, shown, report] :
         {std::tuple{if_true + "yes\n", if_true, ""},
          {if_unset + "yes\n<!--#endif -->\n", if_unset, ""},
          {if_false + "<!--#else -->\nno\n", if_false,
           "(ssi_parseelse, 12785): wierd #if,#elif,#else,#endif definition\n"},
          {if_false + "<!--#else -->\n<!--#elif -->\n<!--#endif -->\n", if_false,
           "(ssi_parseelse, 12769): unmatched or missing #endif\n"},
          {no_expr + "<!--#endif -->\n", no_expr,
           "(ssi_parseif, 12805): missing expr= for #if or #elif\n"},
          {"x\n" + open_echo + " -->\n", open_echo, ""}}) {
        log.clear();
        EXPECT_EQ(page(stored), ssi_error(shown)) << stored;
        EXPECT_TRUE(log.contains(report)) << stored;
    }
}

TEST_F(Ssi, ExpressionsScanOperandsAndOperatorsLeftToRight)
{
    request_data r{};
    r.headers = htable_create(10);
    const std::string long_value(100, 'l');
    for (auto [name, value] :
         {std::pair{"A", "abc"}, {"B", "abd"}, {"E", ""}, {"L", long_value.c_str()}})
        htable_store(r.headers, name, 1, value, uint32_t(std::strlen(value)), true, nullptr);
    const std::string cut = "/" + std::string(79, 'l') + "/";
    // "!", parentheses and a lone "&" are ignored; "||" and "&&" without a comparison ask
    // whether the operands are non-empty; an operand without a pair contributes nothing.
    const std::vector<std::vector<const char*>> by_result = {
        {"${A} = /abd/", "${B} < ${A}", "${A} > ${A}", "${B} <= ${A}", "${A} >= ${B}", "${A} ${A}",
         "${A}", "${A} = /x/ || ${B} = /x/", "${A} = /abc/ && ${B} = /x/",
         "${A} = /abc/ & ${B} = /x/", "${A} && ${E}", "${E} || ${}"},
        {"${a} = /abc/", "${A} < ${B}", "${B} > ${A}", "${A} <= ${A}", "${A} => ${A}",
         "${A} <> /abd/", "/x/ = /x/ /y/", "${A} != /abc/", "!(${A} = /abc/)", "${E} = //",
         "${} = //", "${A} = /x/ || ${B} = /abd/", "${A} = /abc/ && ${B} = /abd/", "${A} && ${B}",
         "${E} || ${A}"}};
    for (int result = 0; result < 2; ++result) {
        for (const char* expression : by_result[size_t(result)])
            EXPECT_EQ(ssi_checkexpr(&r, expression), result) << expression;
    }
    EXPECT_EQ(ssi_checkexpr(&r, "${NOPE} = /x/"), -1);
    EXPECT_EQ(ssi_checkexpr(&r, "${A = /abc/"), -1);
    EXPECT_EQ(ssi_checkexpr(&r, ("${L} = " + cut).c_str()), 1); // operands keep 79 bytes
    log.clear();
    EXPECT_EQ(ssi_checkexpr(&r, "${A} = /abc"), -1);
    EXPECT_EQ(log.text(), "error (ssi_checkexpr, 12607): invalid expression ${A} = /abc\n");
    htable_destroy(&r.headers);
}

TEST_F(Ssi, LongLinesArriveInPiecesFromEverySource)
{
    const std::string x(1500, 'x');
    EXPECT_EQ(page(x + "<!--#echo var=\"QUERY\" -->\n" + x, "?q=1"), x + "q=1\n" + x);
    dir.write("www/long.html", x + "\n" + x + "<!--#echo var=\"QUERY\" -->");
    EXPECT_EQ(page("<!--#include file=\"long.html\" -->", "?f"), x + "\n" + x + "f");
    const std::string y(2 * 1023 + 500, 'y');
    store("/big", y + "<!--#echo var=\"QUERY\" -->\n");
    EXPECT_EQ(page("<!--#include virtual=\"/big\" -->", "?s"), y + "s\n");
    // A directive split over two lines has no end on its line.
    const std::string split = "<!--#include\n";
    EXPECT_EQ(page(split + " file=\"a.txt\" -->\n"), ssi_error(split));
}

TEST_F(Ssi, BuilderArgumentsAndSourcesThatDoNotOpen)
{
    log.clear();
    EXPECT_EQ(ssi_buildpage(nullptr, "x", SSI_SOURCE_STRING), -1);
    qtest::expect_report(log, "error (ssi_buildpage, 13060): null or invalid argument\n", EINVAL,
                         160);
    exchange("GET /p HTTP/1.0\r\n\r\n", nullptr, 4096, [&](request_data* q) {
        EXPECT_EQ(ssi_buildpage(q, (root + "/missing.html").c_str(), SSI_SOURCE_FILE), -1);
        EXPECT_EQ(quorvel_last_error(), 19u);
        EXPECT_EQ(ssi_buildpage(q, root.c_str(), SSI_SOURCE_FILE), -1); // a directory
        EXPECT_EQ(q->out, nullptr);
        EXPECT_EQ(ssi_buildpage(q, "a\n<!--#echo var=\"none\" -->b", SSI_SOURCE_STRING), 0);
        EXPECT_EQ(std::string(q->out->data, q->out->write_pos), "a\nb");
        return 0;
    });
    char area[8];
    EXPECT_EQ(html_escape_line(area, "a.b\t<", sizeof(area)), 0);
    EXPECT_EQ(html_escape_line(area, "a.b", sizeof(area)), 1);
    EXPECT_STREQ(area, "a&#46;b");
}

} // namespace
