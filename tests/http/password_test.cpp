#include "http/password.h"

#include "support/support.h"

#include <tuple>

using namespace quorvel;

TEST(Password, HashesOfEveryLengthAndFieldsThatOnlyLookLikeThem)
{
    // Written by htpasswd -nb: -m with a password longer than two digests and with an empty
    // one, -s with an empty one, -d with one crypt cuts to 8 characters.
    const std::tuple<const char*, const char*, password_match> cases[] = {
        {"$apr1$/h5wBzps$o5svmHzTKL3NHEbhB9tlC.", "a long passphrase of forty-one characters",
         password_match::yes},
        {"$apr1$/h5wBzps$o5svmHzTKL3NHEbhB9tlC.", "a long passphrase of forty-one characterz",
         password_match::no},
        {"$apr1$jIr9NBa/$AsRWz/yDhYvfCaFiwoZ1h1", "", password_match::yes},
        {"{SHA}2jmj7l5rSw0yVb/vlWAYkK/YBwk=", "", password_match::yes},
        {"173k/9.NQtWaw", "abcdefgh", password_match::yes},
        {"173k/9.NQtWaw", "173k/9.NQtWaw", password_match::no},
        // A damaged hash never matches, not even itself.
        {"$2y$05$fvn26yQicIOhUPjie667we", "$2y$05$fvn26yQicIOhUPjie667we", password_match::no},
        {"$apr1$", "$apr1$", password_match::no},
        // Other hash shapes are refused whatever is sent; other text is the password.
        {"$y$j9T$abc$def", "$y$j9T$abc$def", password_match::unsupported},
        {"{SSHA}abcdef", "{SSHA}abcdef", password_match::unsupported},
        {"$ 5 dollars", "$ 5 dollars", password_match::yes},
        {"{not a hash", "{not a hash", password_match::yes},
        {"secret", "secreT", password_match::no},
        {"secret", "secret\n", password_match::no},
    };
    for (auto [stored, given, expected] : cases)
        EXPECT_EQ(password_verify(stored, given), expected) << stored << " / " << given;
}

TEST(Password, SameSecretComparesWholeTexts)
{
    EXPECT_TRUE(same_secret("abc", "abc"));
    EXPECT_TRUE(same_secret("", ""));
    EXPECT_FALSE(same_secret("abc", "abd"));
    EXPECT_FALSE(same_secret("abc", "abcd"));
    EXPECT_FALSE(same_secret("abcd", "abc"));
    EXPECT_FALSE(same_secret("", "a"));
}
