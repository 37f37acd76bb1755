#!/usr/bin/env bash
# Makes tests/corpora/content: real files of the formats the content check
# knows, written by the tools that write them, plus the benign hard cases
# (password-protected Office files, encrypted zip and 7z, compressed media,
# UTF-16 and CP-1252 text, an empty file, files cut short). The files are
# checked in; CI does not run this. Needs (Debian): zip p7zip-full gzip bzip2
# xz-utils zstd imagemagick webp libtiff-tools sqlite3 ghostscript sox lame
# flac vorbis-tools ffmpeg python3-msoffcrypto-tool.
# RAR cannot be written here (no free writer): it is judged by its signature only.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out="$root/tests/corpora/content"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
rm -rf "$out"
mkdir -p "$out"
cd "$work"
# The distribution's ImageMagick, whatever else is first on PATH.
im=$(command -v convert-im6.q16 || command -v convert)
py=/usr/bin/python3
export SOURCE_DATE_EPOCH=1760000000

# --- Text, made by a seeded writer so the prose is ordinary and repeatable.
"$py" - "$out" <<'EOF'
import json, random, sys
out = sys.argv[1]
rnd = random.Random(21)
words = ("the of and to in is that for it as with was on be by this are at from or have an they which one you "
         "were her all she there would their we him been has when who will more no if out so said what up its about "
         "into than them can only other new some could time these two may then do first any my now such like our "
         "over man me even most made after also did many before must through back years where much your way well "
         "down should because each just those people how too little state good very make world still own see men "
         "work long get here between both life being under never day same another know while last might us great "
         "old year off come since against go came right used take three invoice meeting budget report quarter "
         "project customer delivery schedule review draft final summary").split()
def sentence():
    s = " ".join(rnd.choice(words) for _ in range(rnd.randint(6, 18)))
    return s[0].upper() + s[1:] + rnd.choice(".....?!")
def prose(n):
    parts = []
    while sum(len(p) for p in parts) < n:
        parts.append(" ".join(sentence() for _ in range(rnd.randint(2, 6))))
    return "\n\n".join(parts) + "\n"
def write(name, text, enc="utf-8"):
    with open(f"{out}/{name}", "wb") as f:
        f.write(text.encode(enc))

write("notes.txt", prose(3000))
md = []
while sum(len(x) for x in md) < 140000:
    md.append(f"## {sentence()[:-1]}\n\n{prose(600)}\n- {sentence()}\n- {sentence()}\n\n`code {rnd.randint(1, 999)}`\n")
write("journal.md", "# Journal\n\n" + "\n".join(md))
rows = ["date,customer,amount,vat,paid"]
while sum(len(r) + 1 for r in rows) < 150000:
    rows.append(f"2026-{rnd.randint(1,12):02d}-{rnd.randint(1,28):02d},{rnd.choice(words).title()} Ltd,"
                f"{rnd.uniform(1, 99999):.2f},{rnd.choice([0, 7, 19, 20])},{rnd.choice(['yes', 'no'])}")
write("ledger.csv", "\r\n".join(rows) + "\r\n")
items = [{"id": i, "name": sentence(), "tags": rnd.sample(words, 3), "price": round(rnd.uniform(0, 500), 2),
          "uuid": "%032x" % rnd.getrandbits(128)} for i in range(700)]
write("catalog.json", json.dumps(items, indent=2))
write("page.html", "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Minutes</title></head><body>\n"
      + "".join(f"<p>{sentence()}</p>\n" for _ in range(60)) + "</body></html>\n")
write("settings.ini", "".join(f"[{w}]\nenabled=1\npath=C:\\Users\\anna\\{w}\nlimit={rnd.randint(1, 9999)}\n\n"
                              for w in rnd.sample(words, 20)))
log = []
while sum(len(x) for x in log) < 140000:
    level = rnd.choice(["INFO", "INFO", "WARN", "ERROR"])
    color = {"INFO": "32", "WARN": "33", "ERROR": "31"}[level]
    log.append(f"2026-12-10T{rnd.randint(0,23):02d}:{rnd.randint(0,59):02d}:{rnd.randint(0,59):02d} "
               f"\x1b[{color}m{level}\x1b[0m worker-{rnd.randint(1,8)} {sentence()}\n")
write("service.log", "".join(log))
write("feed.xml", "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<feed>\n"
      + "".join(f"  <entry id=\"{i}\"><title>{sentence()}</title></entry>\n" for i in range(80)) + "</feed>\n")
write("drawing.svg", "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"400\" height=\"300\">\n"
      + "".join(f"<circle cx=\"{rnd.randint(0,400)}\" cy=\"{rnd.randint(0,300)}\" r=\"{rnd.randint(2,40)}\" "
                f"fill=\"#{rnd.getrandbits(24):06x}\"/>\n" for _ in range(150)) + "</svg>\n")
# Latin-1 letters in CP-1252, and the same kind of text as UTF-16 with a BOM (over 64 KiB: its middle has none).
latin = ("Façade, naïve café, Müller & Söhne GmbH, Ærø, señor, déjà vu, 25 € – “quoted” — fin.\n")
write("lettre_cp1252.txt", "".join(latin + prose(300) for _ in range(12)), "cp1252")
write("notes_utf16.txt", "\ufeff" + "".join(latin + prose(400) for _ in range(110)), "utf-16-le")
cjk = "会議の議事録です。来週の予算について確認してください。项目进度报告：客户交付时间表已更新。"
write("memo_cjk.txt", "".join(cjk + " " + str(i) + "\n" for i in range(120)))
# A CSV with bytes an exporter leaves: CP-1252 names, a NUL and a SUB, form feeds, no final newline.
odd = ["id;name;note"] + [f"{i};{rnd.choice(['Jürgen', 'Zoë', 'François', 'Łukasz'])};{sentence()}" for i in range(200)]
data = "\r\n".join(odd).encode("cp1252", errors="replace")
data = data.replace(b";note", b";note\x00", 1).replace(b"\r\n5;", b"\r\n\x1a5;", 1) + b"\x0c"
open(f"{out}/export_odd.csv", "wb").write(data)
rtf = ["{\\rtf1\\ansi\\deff0{\\fonttbl{\\f0 Times New Roman;}}\\f0\\fs24\n"]
while sum(len(x) for x in rtf) < 70000:
    rtf.append("\\par " + sentence().replace("e", "\\'e9", 1) + "\n")
write("letter.rtf", "".join(rtf) + "}\n")
open(f"{out}/empty.txt", "wb").close()
EOF

# --- Pictures.
"$im" -size 640x480 -seed 7 plasma:green-blue -blur 0x1 -depth 8 photo_src.png
"$im" photo_src.png -quality 88 "$out/photo.jpg"
"$im" -size 200x150 -seed 8 plasma:orange-purple -depth 8 "$out/chart.png"
"$im" -size 160x120 -seed 9 plasma:red-yellow -colors 64 "$out/banner.gif"
"$im" photo_src.png -resize 200x150 -depth 8 -compress none "$out/scan_raw.tif"
"$im" photo_src.png -resize 200x150 -depth 8 -compress lzw "$out/scan_lzw.tif"
"$im" photo_src.png -resize 300x225 -depth 8 -type TrueColor "BMP3:$out/picture.bmp"
"$im" -size 64x64 -seed 10 plasma: -define icon:auto-resize=64,32,16 "$out/app.ico"
"$im" -size 140x110 -seed 11 plasma:white-gray -depth 8 "$out/layers.psd"
cwebp -quiet -q 80 photo_src.png -o "$out/photo.webp"
"$im" photo_src.png -resize 320x240 -quality 60 "$out/photo.heic"
head -c 3000 "$out/photo.jpg" > "$out/photo_cut.jpg"

# --- Documents: OOXML and ODF parts as the office suites lay them out, a picture inside one.
"$py" - "$out" "$out/photo.jpg" <<'EOF'
import random, sys, zipfile
out, jpg = sys.argv[1], sys.argv[2]
rnd = random.Random(5)
words = "the quarterly report shows steady growth in sales and a small rise in costs across every region".split()
def para():
    return " ".join(rnd.choice(words) for _ in range(rnd.randint(8, 30))).capitalize() + "."
def office(path, ctype_main, main_path, main_xml, rels_type, extra=()):
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("[Content_Types].xml",
                   '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">'
                   '<Default Extension="rels" ContentType="application/vnd.openxmlformats-package.relationships+xml"/>'
                   '<Default Extension="xml" ContentType="application/xml"/><Default Extension="jpeg" ContentType="image/jpeg"/>'
                   f'<Override PartName="/{main_path}" ContentType="{ctype_main}"/></Types>')
        z.writestr("_rels/.rels",
                   '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">'
                   f'<Relationship Id="rId1" Type="{rels_type}" Target="{main_path}"/></Relationships>')
        z.writestr("docProps/app.xml", '<?xml version="1.0" encoding="UTF-8"?><Properties><Application>Writer</Application></Properties>')
        z.writestr(main_path, main_xml)
        for name, data in extra:
            z.writestr(name, data)
doc_rel = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/officeDocument"
body = "".join(f"<w:p><w:r><w:t>{para()}</w:t></w:r></w:p>" for _ in range(300))
office(f"{out}/report.docx", "application/vnd.openxmlformats-officedocument.wordprocessingml.document.main+xml",
       "word/document.xml",
       f'<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n<w:document xmlns:w="http://schemas.openxmlformats.org/wordprocessingml/2006/main"><w:body>{body}</w:body></w:document>',
       doc_rel)
rows = "".join(f'<row r="{r}">' + "".join(f'<c r="{c}{r}"><v>{rnd.uniform(0, 1e5):.2f}</v></c>' for c in "ABCDEFGH") + "</row>" for r in range(1, 1500))
office(f"{out}/budget.xlsx", "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml",
       "xl/workbook.xml", '<?xml version="1.0" encoding="UTF-8"?><workbook xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main"><sheets><sheet name="Q4" sheetId="1"/></sheets></workbook>',
       doc_rel, [("xl/worksheets/sheet1.xml", f'<?xml version="1.0" encoding="UTF-8"?><worksheet xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main"><sheetData>{rows}</sheetData></worksheet>')])
slides = [(f"ppt/slides/slide{i}.xml", f'<?xml version="1.0" encoding="UTF-8"?><p:sld xmlns:p="http://schemas.openxmlformats.org/presentationml/2006/main"><p:txBody>{para()}</p:txBody></p:sld>') for i in range(1, 6)]
office(f"{out}/slides.pptx", "application/vnd.openxmlformats-officedocument.presentationml.presentation.main+xml",
       "ppt/presentation.xml", '<?xml version="1.0" encoding="UTF-8"?><p:presentation xmlns:p="http://schemas.openxmlformats.org/presentationml/2006/main"/>',
       doc_rel, slides + [("ppt/media/image1.jpeg", open(jpg, "rb").read())])
def odf(path, mime, content):
    with zipfile.ZipFile(path, "w") as z:
        z.writestr(zipfile.ZipInfo("mimetype", (2026, 12, 10, 0, 0, 0)), mime, compress_type=zipfile.ZIP_STORED)
        z.writestr("META-INF/manifest.xml", f'<?xml version="1.0" encoding="UTF-8"?><manifest:manifest xmlns:manifest="urn:oasis:names:tc:opendocument:xmlns:manifest:1.0"><manifest:file-entry manifest:full-path="/" manifest:media-type="{mime}"/></manifest:manifest>', compress_type=zipfile.ZIP_DEFLATED)
        z.writestr("content.xml", content, compress_type=zipfile.ZIP_DEFLATED)
odf(f"{out}/minutes.odt", "application/vnd.oasis.opendocument.text",
    '<?xml version="1.0" encoding="UTF-8"?><office:document-content xmlns:office="urn:oasis:names:tc:opendocument:xmlns:office:1.0" xmlns:text="urn:oasis:names:tc:opendocument:xmlns:text:1.0"><office:body><office:text>'
    + "".join(f"<text:p>{para()}</text:p>" for _ in range(200)) + "</office:text></office:body></office:document-content>")
odf(f"{out}/plan.ods", "application/vnd.oasis.opendocument.spreadsheet",
    '<?xml version="1.0" encoding="UTF-8"?><office:document-content xmlns:office="urn:oasis:names:tc:opendocument:xmlns:office:1.0"><office:body><office:spreadsheet/></office:body></office:document-content>')
with zipfile.ZipFile(f"{out}/novel.epub", "w") as z:
    z.writestr("mimetype", "application/epub+zip", compress_type=zipfile.ZIP_STORED)
    z.writestr("META-INF/container.xml", '<?xml version="1.0"?><container version="1.0" xmlns="urn:oasis:names:tc:opendocument:xmlns:container"><rootfiles><rootfile full-path="content.opf" media-type="application/oebps-package+xml"/></rootfiles></container>', compress_type=zipfile.ZIP_DEFLATED)
    z.writestr("chapter1.xhtml", "<html><body>" + "".join(f"<p>{para()}</p>" for _ in range(150)) + "</body></html>", compress_type=zipfile.ZIP_DEFLATED)
EOF
head -c 3000 "$out/report.docx" > "$out/report_cut.docx"
"$py" - "$out/report.docx" "$out/report_protected.docx" "$out/budget.xlsx" "$out/budget_protected.xlsx" <<'EOF'
# Password-protected Office files as the office suites write them with
# standard encryption (AES-128, SHA-1 key derivation): a compound file with
# the EncryptionInfo stream and the AES-encrypted EncryptedPackage. No tool
# here writes them (the packaged decrypter only reads them), so the layout is
# written from its documentation and checked by decrypting it again.
import io, os, struct, sys
from hashlib import sha1
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes
import msoffcrypto
from msoffcrypto.method.ecma376_standard import ECMA376Standard

FREE, END, FATSECT, NOSTREAM = 0xFFFFFFFF, 0xFFFFFFFE, 0xFFFFFFFD, 0xFFFFFFFF

def compound_file(mini_name, mini_data, big_name, big_data):
    sect = lambda data: (len(data) + 511) // 512
    mini_stream = mini_data + b"\0" * (-len(mini_data) % 64)
    n_mini = len(mini_stream) // 64
    n_big, n_ms = sect(big_data), sect(mini_stream)
    fat_count = 1
    while n_big + n_ms + 2 + fat_count > fat_count * 128:
        fat_count += 1
    dir_sec, minifat_sec = fat_count, fat_count + 1
    ms_first, big_first = fat_count + 2, fat_count + 2 + n_ms
    total = big_first + n_big
    fat = [FREE] * (fat_count * 128)
    for i in range(fat_count):
        fat[i] = FATSECT
    fat[dir_sec] = END
    fat[minifat_sec] = END
    for first, count in ((ms_first, n_ms), (big_first, n_big)):
        for i in range(count):
            fat[first + i] = first + i + 1 if i + 1 < count else END
    minifat = [FREE] * 128
    for i in range(n_mini):
        minifat[i] = i + 1 if i + 1 < n_mini else END

    def entry(name, kind, left, right, child, start, size):
        raw = name.encode("utf-16-le") + b"\0\0" if name else b""
        return (raw.ljust(64, b"\0") + struct.pack("<HBBIII", len(raw), kind, 1, left, right, child) + b"\0" * 16
                + struct.pack("<IQQIQ", 0, 0, 0, start, size))
    directory = (entry("Root Entry", 5, NOSTREAM, NOSTREAM, 1, ms_first, len(mini_stream))
                 + entry(mini_name, 2, NOSTREAM, 2, NOSTREAM, 0, len(mini_data))
                 + entry(big_name, 2, NOSTREAM, NOSTREAM, NOSTREAM, big_first, len(big_data))
                 + entry("", 0, NOSTREAM, NOSTREAM, NOSTREAM, 0, 0))
    difat = list(range(fat_count)) + [FREE] * (109 - fat_count)
    header = (b"\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1" + b"\0" * 16
              + struct.pack("<HHHHH", 0x3E, 3, 0xFFFE, 9, 6) + b"\0" * 6
              + struct.pack("<IIIIIIIII", 0, fat_count, dir_sec, 0, 4096, minifat_sec, 1, END, 0)
              + struct.pack("<109I", *difat))
    pad = lambda data: data + b"\0" * (-len(data) % 512)
    body = (struct.pack(f"<{len(fat)}I", *fat) + pad(directory) + struct.pack("<128I", *minifat)
            + pad(mini_stream) + pad(big_data))
    assert len(body) == total * 512
    return header + body

def protect(src, dst, password):
    data = open(src, "rb").read()
    rnd = os.urandom
    salt = rnd(16)
    key = ECMA376Standard.makekey_from_password(password, 0x660E, 0x8004, 0x18, 128, 16, salt)
    aes = lambda b: Cipher(algorithms.AES(key), modes.ECB()).encryptor().update(b)
    verifier = rnd(16)
    csp = "Microsoft Enhanced RSA and AES Cryptographic Provider\0".encode("utf-16-le")
    header = struct.pack("<IIIIIIII", 0x24, 0, 0x660E, 0x8004, 128, 0x18, 0, 0) + csp
    info = (struct.pack("<HHII", 4, 2, 0x24, len(header)) + header
            + struct.pack("<I", 16) + salt + aes(verifier) + struct.pack("<I", 20)
            + aes(sha1(verifier).digest() + b"\0" * 12))
    package = struct.pack("<Q", len(data)) + aes(data + b"\0" * (-len(data) % 16))
    open(dst, "wb").write(compound_file("EncryptionInfo", info, "EncryptedPackage", package))
    # What Office would do on opening it: the password gives the document back.
    with open(dst, "rb") as f:
        office = msoffcrypto.OfficeFile(f)
        office.load_key(password=password, verify_password=True)
        out = io.BytesIO()
        office.decrypt(out)
    assert out.getvalue() == data, dst

for src, dst in zip(sys.argv[1::2], sys.argv[2::2]):
    protect(src, dst, "Summer2026!")
EOF

# --- Archives, plain and encrypted, and compressed streams.
cp "$out/notes.txt" "$out/journal.md" "$out/ledger.csv" "$out/settings.ini" "$out/page.html" .
cp "$out/photo.jpg" "$out/chart.png" .
zip -q -X -9 "$out/documents.zip" notes.txt journal.md
zip -q -X -0 "$out/photos.zip" photo.jpg chart.png
zip -q -X -P "Summer2026!" "$out/private_zipcrypto.zip" notes.txt journal.md
7z a -bso0 -tzip -mem=AES256 -p"Summer2026!" "$out/private_aes.zip" notes.txt ledger.csv
7z a -bso0 -t7z "$out/backup.7z" notes.txt journal.md ledger.csv
7z a -bso0 -t7z -mhe=on -p"Summer2026!" "$out/private.7z" notes.txt journal.md photo.jpg
tar --sort=name --mtime=@1760000000 --owner=0 --group=0 -cf "$out/project.tar" notes.txt settings.ini page.html
gzip -9 -n -c "$out/project.tar" > "$out/project.tgz"
gzip -9 -n -c journal.md > "$out/journal.md.gz"
bzip2 -9 -c ledger.csv > "$out/ledger.csv.bz2"
xz -9 -c journal.md > "$out/journal.md.xz"
zstd -q -19 -c ledger.csv > "$out/ledger.csv.zst"
cp "$out/documents.zip" app.zip && mv app.zip "$out/tool.jar"

# --- PDF and PostScript.
cat > doc.ps <<'EOF'
/Times-Roman findfont 11 scalefont setfont
1 1 6 { pop
  72 750 moveto
  1 1 55 { 10 string cvs (Line ) show show ( of the quarterly summary: sales, costs, margins and outlook.) show
    currentpoint exch pop 13 sub 72 exch moveto } for
  showpage } for
EOF
gs -q -dNOPAUSE -dBATCH -dSAFER -sDEVICE=pdfwrite -sOutputFile="$out/summary.pdf" doc.ps
# A picture page: the photo's JPEG bytes embedded as they are.
gs -q -dNOPAUSE -dBATCH -dSAFER --permit-file-read="$out/" -sDEVICE=pdfwrite -sOutputFile="$out/brochure.pdf" \
   "$(ls /usr/share/ghostscript/*/lib/viewjpeg.ps | head -1)" -c "($out/photo.jpg) viewJPEG"
head -c 4096 /dev/zero > "$out/being_written.pdf"

# --- Audio and video.
sox -q -n -r 44100 -c 2 -b 16 "$out/tone.wav" synth 0.9 pluck C3 pluck E4 synth 0.9 sine fmod 3 vol 0.6
sox -q -n -r 44100 -c 1 -b 16 voice.wav synth 6 pinknoise vol 0.3 : synth 6 sine 220-660 vol 0.4
lame --quiet -b 64 voice.wav "$out/voice.mp3"
# Saved from the middle of a stream: it starts inside a frame.
head -c 21000 "$out/voice.mp3" | tail -c +1001 > "$out/voice_cut.mp3"
flac -s --best -o "$out/tone.flac" "$out/tone.wav"
oggenc -Q -q 2 -o "$out/voice.ogg" voice.wav
ffmpeg -v error -f lavfi -i testsrc=size=320x240:rate=15 -t 2 -c:v libx264 -pix_fmt yuv420p -movflags +faststart "$out/clip.mp4"
ffmpeg -v error -f lavfi -i testsrc=size=160x120:rate=10 -t 2 -c:v mpeg4 "$out/clip.mov"
ffmpeg -v error -f lavfi -i testsrc=size=160x120:rate=10 -t 2 -c:v libvpx -b:v 200k "$out/clip.webm"
ffmpeg -v error -f lavfi -i testsrc=size=160x120:rate=10 -t 2 -c:v mpeg4 "$out/clip.avi"
ffmpeg -v error -i voice.wav -t 4 -c:a aac -b:a 64k "$out/voice.m4a"
ffmpeg -v error -i voice.wav -t 4 -c:a libopus -b:a 32k "$out/voice.mkv"

# --- SQLite: a table of rows, and one of picture blobs (compressed bytes on overflow pages).
sqlite3 "$out/contacts.sqlite" <<'EOF'
CREATE TABLE contact(id INTEGER PRIMARY KEY, name TEXT, email TEXT, note TEXT);
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 1500)
INSERT INTO contact SELECT i, 'Person ' || i, 'person' || i || '@example.org', 'met at the fair in ' || (2000 + i % 25) FROM n;
CREATE INDEX contact_name ON contact(name);
EOF
sqlite3 "$out/thumbnails.sqlite" "CREATE TABLE thumb(id INTEGER PRIMARY KEY, data BLOB);
INSERT INTO thumb(data) VALUES (readfile('photo.jpg')), (readfile('chart.png'));"

ls -l "$out" | awk '{s += $5} END {print NR - 1 " files, " s " bytes"}'
