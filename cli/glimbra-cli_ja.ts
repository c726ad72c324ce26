<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="ja_JP" sourcelanguage="en">
<context>
    <name>glimbra-cli</name>
    <message>
        <source>Usage:
  glimbra-cli [options] SOURCE FLOATING OUTPUT
  glimbra-cli [options] --batch FLOATING OUTDIR [SOURCE...]

Lays the floating image over the source image as light and shade around the neutral grey
191. Reads BMP, GIF, ICO, JPEG, PNG, WebP, TIFF, HEIF (HEIC, AVIF) and JPEG XL; the
output&apos;s extension (%1) picks its format.

Options:
  --stretch          stretch the floating image to the source&apos;s size (default)
  --tile             repeat the floating image from the top-left corner
  --jpeg-rate N      quality of the lossy formats (JPEG, WebP, AVIF, HEIC, JPEG XL)
                     1..100 (default 50)
  --lossless         lossless WebP and JPEG XL
  --progressive      progressive JPEG
  --png-rate N       PNG compression: 1 fastest (default), 0 normal, 2 smallest
  --batch            one floating image over many sources, written to OUTDIR/&lt;name&gt;.&lt;format&gt;
  --files-from FILE  --batch: further sources, one path a line (&quot;-&quot;: standard input)
  --format EXT       --batch output format: %2 (default png)
  --jobs N           --batch: sources at once (default: the number of cores)
  -h, --help         show this help
  --version          show the version

Exit status: 0 success, 1 an input or output failed, 2 usage error.
</source>
        <translation>使い方:
  glimbra-cli [オプション] 元の画像 浮き画像 出力ファイル
  glimbra-cli [オプション] --batch 浮き画像 出力フォルダ [元の画像...]

浮き画像を元の画像に重ね、191 を中間の明るさとして明暗を付けます。
入力: BMP, GIF, ICO, JPEG, PNG, WebP, TIFF, HEIF (HEIC, AVIF), JPEG XL。出力の形式は拡張子 (%1) で決まります。

オプション:
  --stretch          浮き画像を元の画像の大きさに拡大・縮小する (既定)
  --tile             浮き画像を左上から並べる
  --jpeg-rate N      非可逆の形式 (JPEG, WebP, AVIF, HEIC, JPEG XL) の品質
                     1..100 (既定 50)
  --lossless         WebP と JPEG XL を可逆圧縮で保存する
  --progressive      プログレッシブ JPEG で保存する
  --png-rate N       PNG の圧縮: 1 速い (既定), 0 標準, 2 最小
  --batch            一つの浮き画像で多数の元画像を処理し、出力フォルダ/&lt;名前&gt;.&lt;形式&gt; に書く
  --files-from FILE  --batch: 元の画像の一覧 (一行に一つ、&quot;-&quot; は標準入力)
  --format EXT       --batch の出力形式: %2 (既定 png)
  --jobs N           --batch で同時に処理する数 (既定: CPU の数)
  -h, --help         この説明を表示する
  --version          版を表示する

終了コード: 0 成功、1 入力または出力の失敗、2 使い方の誤り。
</translation>
    </message>
    <message>
        <source>cannot read the list of sources</source>
        <translation>元の画像の一覧を読めません</translation>
    </message>
    <message>
        <source>&apos;glimbra-cli --help&apos; shows how to use it.</source>
        <translation>&apos;glimbra-cli --help&apos; で使い方を表示します。</translation>
    </message>
    <message>
        <source>unknown option: %1</source>
        <translation>不明なオプションです: %1</translation>
    </message>
    <message>
        <source>%1 needs a value.</source>
        <translation>%1 には値を指定してください。</translation>
    </message>
    <message>
        <source>%1 takes no value.</source>
        <translation>%1 には値を指定できません。</translation>
    </message>
    <message>
        <source>%1 takes a whole number from %2 to %3.</source>
        <translation>%1 には %2 から %3 までの整数を指定してください。</translation>
    </message>
    <message>
        <source>--format takes one of: %1.</source>
        <translation>--format には次のどれかを指定してください: %1。</translation>
    </message>
    <message>
        <source>--files-from needs --batch.</source>
        <translation>--files-from は --batch と一緒に指定してください。</translation>
    </message>
    <message>
        <source>give three names: SOURCE, FLOATING and OUTPUT.</source>
        <translation>元の画像、浮き画像、出力ファイルの三つを指定してください。</translation>
    </message>
    <message>
        <source>the output&apos;s extension must be one of: %1.</source>
        <translation>出力の拡張子は次のどれかにしてください: %1。</translation>
    </message>
    <message>
        <source>--batch needs FLOATING, OUTDIR and at least one SOURCE.</source>
        <translation>--batch には浮き画像、出力フォルダ、一つ以上の元の画像を指定してください。</translation>
    </message>
    <message>
        <source>the output folder does not exist</source>
        <translation>出力フォルダがありません</translation>
    </message>
    <message>
        <source>the output name is taken by an earlier source: </source>
        <translation>出力名が前の画像と重なります: </translation>
    </message>
    <message>
        <source>done</source>
        <translation>完了</translation>
    </message>
    <message>
        <source>failed</source>
        <translation>失敗</translation>
    </message>
    <message>
        <source>the output is the same file as an input: </source>
        <translation>出力が入力の画像と同じファイルです: </translation>
    </message>
    <message>
        <source>cannot write into the output folder</source>
        <translation>出力フォルダに書き込めません</translation>
    </message>
</context>
</TS>
