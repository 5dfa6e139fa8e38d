#!/usr/bin/env python3
"""Writes the Japanese test corpus of the code conversion tests: every sentence below in
each input encoding ("<name>.<encoding>") and its Shift-JIS form ("<name>.sjis", code page
932), which is what converting any of the inputs must give. Run it in this folder; the
files it writes are checked in, so the tests need no Python."""

import codecs

SENTENCES = {
    "stopped": "サーバーが停止しました。",
    "text": "日本語のテキストです",
    "mixed": "web1 (10.0.0.1) の応答がありません。",
    "halfwidth": "ﾃｽﾄ用のﾒｰﾙです",
    "halfonly": "ｻｰﾊﾞｰ ﾀﾞｳﾝ",
    "fullwidth": "監視対象：メールサーバ［ＳＭＴＰ］ポート２５",
    "lines": "件名: 障害通知\r\n本文: ホスト db2 が応答しません。\r\n",
    "voiced": "ﾊﾟｽﾜｰﾄﾞを確認してください",
    "level2": "堯と凜と熙の字",
}

ENCODINGS = {
    "sjis": lambda s: s.encode("cp932"),
    "eucjp": lambda s: s.encode("euc_jp"),
    "utf8": lambda s: s.encode("utf-8"),
    "utf8bom": lambda s: codecs.BOM_UTF8 + s.encode("utf-8"),
    # ESC ( I carries the half-width katakana.
    "iso2022jp": lambda s: s.encode("iso2022_jp_ext"),
    "utf16le": lambda s: s.encode("utf-16-le"),
    "utf16lebom": lambda s: codecs.BOM_UTF16_LE + s.encode("utf-16-le"),
    "utf16be": lambda s: s.encode("utf-16-be"),
    "utf16bebom": lambda s: codecs.BOM_UTF16_BE + s.encode("utf-16-be"),
    "utf7": lambda s: s.encode("utf-7"),
}


def main():
    for name, text in SENTENCES.items():
        with open(name + ".sjis", "wb") as f:
            f.write(text.encode("cp932"))
        for encoding, encode in ENCODINGS.items():
            try:
                data = encode(text)
            except UnicodeEncodeError:
                continue  # a character the encoding cannot hold
            if encoding == "sjis":
                continue  # the expected file itself
            with open(name + "." + encoding, "wb") as f:
                f.write(data)


if __name__ == "__main__":
    main()
