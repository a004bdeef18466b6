#!/usr/bin/env python3
"""Deterministic generator of the demo records (ISO 2709).

  gendemo.py books OUT.mrc [COUNT]     MARC 21 records in English (default 10000), UTF-8 (ASCII)
  gendemo.py unimarc OUT.mrc [COUNT]   UNIMARC records with Chinese titles (default 300), UTF-8
  gendemo.py intl OUT.mrc [COUNT]      MARC 21 records with names and titles in Latin with
                                       diacritics, Greek, Cyrillic, Chinese and Japanese (default
                                       5000), UTF-8; about a third of them in NFD, some names in
                                       capitals
  gendemo.py intl-unimarc OUT.mrc [COUNT]  the same in UNIMARC (200 $a title, 700/701 $a names)
  gendemo.py intl-nfc OUT.mrc [COUNT]  intl records all in NFC, names as written (for comparing
                                       with servers that do not fold forms and cases)

The same arguments always give the same bytes (fixed seed, no clock). Generated records carry
7-digit numbers in 001: books from 0001001, unimarc from 0000001.
"""
import random
import sys
import unicodedata

FT, SF, RT = b"\x1e", b"\x1f", b"\x1d"

TITLE_WORDS = """the of and a to in history introduction guide new world study art life theory
practice modern science american society english language principles systems computer
design analysis water culture music war introduction law economics management data
children nature politics health education development programming networks library
information literature poetry philosophy medicine energy religion city family essays
early century british century mathematics physics chemistry biology engineering
technology china europe africa ocean garden house story letters journal travel""".split()
SUBTITLE_WORDS = """a practical approach an introduction for beginners selected essays revised
edition from the beginnings to the present a critical reading theory and practice""".split()
SURNAMES = """Smith Johnson Williams Brown Jones Miller Davis Wilson Anderson Taylor Thomas
Moore Martin Jackson Thompson White Harris Clark Lewis Robinson Walker Young Allen King Wright
Scott Hill Green Adams Baker Nelson Carter Mitchell Roberts Turner Phillips Campbell Parker Evans
Edwards Collins Stewart Morris Murphy Cook Rogers Morgan Cooper Peterson Reed Bailey Kelly""".split()
GIVEN = """James Mary John Patricia Robert Jennifer Michael Linda William Elizabeth David Susan
Richard Jessica Joseph Sarah Charles Karen Thomas Nancy Daniel Lisa Paul Margaret Mark Betty
Donald Sandra George Ashley Kenneth Emily Steven Donna Edward Carol Brian Ruth Ronald Sharon""".split()
SUBJECTS = """Computer science|Computer networks|Computer programming|History|World history|
English literature|American poetry|Philosophy|Economics|Mathematics|Physics|Chemistry|Biology|
Medicine|Music|Art|Architecture|Education|Law|Political science|Sociology|Psychology|
Religion|Linguistics|Geography|Agriculture|Engineering|Water resources|Environmental protection|
Libraries|Information science|Cooking|Gardening|Travel|Sports|Children's literature""".replace(
    "\n", "").split("|")
PLACES = ["New York", "London", "Boston", "Chicago", "Oxford", "Cambridge", "San Francisco", "Toronto"]
PUBLISHERS = ["Harper", "Penguin", "Random House", "Wiley", "Springer", "Norton", "Macmillan",
              "Oxford University Press", "MIT Press", "Dover"]

ZH_TITLE = list("中国文学历史研究概论计算机网络程序设计数据管理经济社会教育科学技术哲学艺术音乐"
                "地理农业工程医学法律政治心理语言图书馆信息世界现代古代发展理论实践方法基础")
ZH_SURNAMES = list("王李张刘陈杨黄赵吴周徐孙马朱胡郭何高林罗郑梁谢宋唐许韩冯邓曹彭曾")
ZH_GIVEN = list("伟芳娜敏静丽强磊军洋勇艳杰娟涛明超秀霞平刚桂英华文")
ZH_SUBJECTS = ["计算机科学", "中国历史", "中国文学", "经济学", "教育", "哲学", "图书馆学",
               "信息管理", "数学", "物理学", "医学", "法律", "音乐", "农业", "地理"]
ZH_PUBLISHERS = ["人民出版社", "科学出版社", "中华书局", "商务印书馆", "清华大学出版社", "北京大学出版社"]
ZH_PLACES = ["北京", "上海", "南京", "广州", "武汉"]


# Surnames of many scripts, most frequent first (drawn with zipf_choice).
INTL_SURNAMES = """Smith Müller García Ryan Иванов Łukasiewicz Ångström Márquez 王 Παπαδόπουλος
Dvořák Sørensen Nuñez Gödel Björk 山田 Brown Смирнов Šimek Çelik Øster Straße Οικονόμου たなか
Kuznetsov Кузнецов Lefèvre Jönsson Þórsson Nguyễn 李 スズキ Wójcik Dąbrowski Ferreira Ünal""".split()
INTL_GIVEN = """Hans Анна José Zoë Jiří Søren Kurt Åsa Jan Γιώργος Пётр Renée 小明 太郎 Łucja François
Ærø Miloš Ekaterina Νίκος Ömer Inês""".split()
INTL_TITLE_WORDS = """history Geschichte über études música Ελληνική ιστορία история литература
science naïve café Œuvres crème Straßenbahn Größe ΣΟΦΙΑ σοφία φιλοσοφία Москва ЁЛКА ёлка
中国 文学 日本の歴史 ひらがな カタカナ 東京 Ｕｎｉｃｏｄｅ ﬁnance data Åland Čapek Øresund""".split()


def zipf_choice(rng, words):
    """A word with probability proportional to 1/rank (rough natural-language frequencies)."""
    weights = [1.0 / (i + 1) for i in range(len(words))]
    return rng.choices(words, weights=weights, k=1)[0]


def isbn13(rng):
    digits = [9, 7, 8] + [rng.randrange(10) for _ in range(9)]
    check = (10 - sum(d * (1 if i % 2 == 0 else 3) for i, d in enumerate(digits)) % 10) % 10
    return "".join(map(str, digits)) + str(check)


def control(tag, value):
    return tag, value.encode("utf-8") + FT


def data(tag, ind, subfields):
    body = ind.encode("ascii")
    for code, value in subfields:
        body += SF + code.encode("ascii") + value.encode("utf-8")
    return tag, body + FT


def iso2709(leader, fields):
    directory, body = b"", b""
    for tag, octets in fields:
        directory += tag.encode("ascii") + b"%04d%05d" % (len(octets), len(body))
        body += octets
    base = 24 + len(directory) + 1
    total = base + len(body) + 1
    lead = b"%05d" % total + leader[5:12].encode("ascii") + b"%05d" % base + leader[17:].encode("ascii")
    return lead + directory + FT + body + RT


def title_words(rng, n):
    words = []
    while len(words) < n:
        word = zipf_choice(rng, TITLE_WORDS)
        if word not in words:
            words.append(word)
    return " ".join(words)


def book(rng, number):
    year = 1950 + rng.randrange(74)
    words = title_words(rng, rng.randrange(2, 6))
    if rng.random() < 0.06:
        words = "computer " + words
    title = words[0].upper() + words[1:]
    author = f"{zipf_choice(rng, SURNAMES)}, {rng.choice(GIVEN)}"
    fields = [
        control("001", "%07d" % number),
        control("003", "VELKAN"),
        control("005", "20240101120000.0"),
        control("008", "240101s%dxxu           000 0 eng d" % year),
        data("020", "  ", [("a", isbn13(rng))]),
        data("040", "  ", [("a", "VELKAN"), ("c", "VELKAN")]),
        data("100", "1 ", [("a", author)]),
    ]
    t245 = [("a", title + (" :" if rng.random() < 0.4 else " /"))]
    if t245[0][1].endswith(":"):
        t245.append(("b", " ".join(rng.choice(SUBTITLE_WORDS) for _ in range(3)) + " /"))
    t245.append(("c", author.split(", ")[1] + " " + author.split(", ")[0] + "."))
    fields.append(data("245", "10", t245))
    if rng.random() < 0.1:
        fields.append(data("246", "3 ", [("a", title_words(rng, 3))]))
    fields += [
        data("260", "  ", [("a", rng.choice(PLACES) + " :"), ("b", rng.choice(PUBLISHERS) + ","),
                           ("c", str(year) + ".")]),
        data("300", "  ", [("a", "%d p. ;" % rng.randrange(40, 900)), ("c", "24 cm.")]),
    ]
    if rng.random() < 0.15:
        fields.append(data("600", "10", [("a", f"{rng.choice(SURNAMES)}, {rng.choice(GIVEN)}")]))
    for subject in sorted(set(zipf_choice(rng, SUBJECTS) for _ in range(rng.randrange(1, 3)))):
        fields.append(data("650", " 0", [("a", subject)]))
    if rng.random() < 0.3:
        fields.append(data("700", "1 ", [("a", f"{zipf_choice(rng, SURNAMES)}, {rng.choice(GIVEN)}")]))
    return iso2709("00000nam a2200000 a 4500", fields)


def unimarc(rng, number):
    year = 1980 + rng.randrange(44)
    title = "".join(rng.choice(ZH_TITLE) for _ in range(rng.randrange(3, 9)))
    author = rng.choice(ZH_SURNAMES) + "".join(rng.choice(ZH_GIVEN) for _ in range(rng.randrange(1, 3)))
    # 100 $a: date entered, dates, audience, language "chi", character sets "50  " at 26-29.
    f100 = "20240101d%d    em y0chiy50      ea" % year
    assert len(f100) == 36 and f100[26:30] == "50  "
    fields = [
        control("001", "%07d" % number),
        data("010", "  ", [("a", isbn13(rng))]),
        data("100", "  ", [("a", f100)]),
        data("101", "0 ", [("a", "chi")]),
        data("200", "1 ", [("a", title), ("f", author + "著")]),
        data("210", "  ", [("a", rng.choice(ZH_PLACES)), ("c", rng.choice(ZH_PUBLISHERS)), ("d", str(year))]),
        data("215", "  ", [("a", "%d页" % rng.randrange(50, 700))]),
    ]
    for subject in sorted(set(rng.choice(ZH_SUBJECTS) for _ in range(rng.randrange(1, 3)))):
        fields.append(data("606", "0 ", [("a", subject)]))
    fields.append(data("701", " 0", [("a", author)]) if rng.random() < 0.5 else
                  data("700", " 0", [("a", author)]))
    if rng.random() < 0.2:
        fields.append(data("702", " 0", [("a", rng.choice(ZH_SURNAMES) + rng.choice(ZH_GIVEN)), ("4", "译")]))
    return iso2709("00000nam0 2200000   450 ", fields)


def intl_texts(rng, varied=True):
    """A name and a title of mixed scripts, in NFC or (a third of the time, when varied) NFD, the
    surname sometimes in capitals (when varied)."""
    surname = zipf_choice(rng, INTL_SURNAMES)
    if varied and rng.random() < 0.1:
        surname = surname.upper()
    author = f"{surname}, {rng.choice(INTL_GIVEN)}"
    words = []
    while len(words) < rng.randrange(2, 5):
        word = zipf_choice(rng, INTL_TITLE_WORDS)
        if word not in words:
            words.append(word)
    title = " ".join(words)
    form = "NFD" if varied and rng.random() < 0.33 else "NFC"
    return unicodedata.normalize(form, author), unicodedata.normalize(form, title)


def intl_book(rng, number, varied=True):
    author, title = intl_texts(rng, varied)
    fields = [control("001", "%07d" % number), control("008", "240101s2001xxu           000 0 mul d"),
              data("100", "1 ", [("a", author)]), data("245", "10", [("a", title)])]
    if rng.random() < 0.3:
        fields.append(data("700", "1 ", [("a", intl_texts(rng, varied)[0])]))
    return iso2709("00000nam a2200000 a 4500", fields)


def intl_unimarc(rng, number):
    author, title = intl_texts(rng)
    f100 = "20240101d2001    em y0muly50      ea"
    fields = [control("001", "%07d" % number), data("100", "  ", [("a", f100)]), data("200", "1 ", [("a", title)]),
              data("700", " 0", [("a", author)])]
    if rng.random() < 0.3:
        fields.append(data("701", " 0", [("a", intl_texts(rng)[0])]))
    return iso2709("00000nam0 2200000   450 ", fields)


KINDS = {  # name: (record maker, first record number, default count, seed)
    "books": (book, 1001, 10000, 20240101),
    "unimarc": (unimarc, 1, 300, 936),
    "intl": (intl_book, 1, 5000, 65001),
    "intl-unimarc": (intl_unimarc, 1, 5000, 1200),
    "intl-nfc": (lambda rng, number: intl_book(rng, number, False), 1, 5000, 65001),
}


def main(argv):
    if len(argv) not in (3, 4) or argv[1] not in KINDS:
        sys.stderr.write(__doc__)
        return 2
    kind, out = argv[1], argv[2]
    make, first, default_count, seed = KINDS[kind]
    count = int(argv[3]) if len(argv) == 4 else default_count
    rng = random.Random(seed)
    with open(out, "wb") as f:
        for i in range(count):
            f.write(make(rng, first + i))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
