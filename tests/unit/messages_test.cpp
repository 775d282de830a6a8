// The three messages are code page 932 bytes; decoded, they must read exactly as written here.
#include "app/Messages.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <string>

namespace {

std::string FromCodePage932(const std::string& bytes) {
  iconv_t converter = iconv_open("UTF-8", "CP932");
  if (converter == reinterpret_cast<iconv_t>(-1)) return "<no CP932 converter>";
  std::string in = bytes;
  std::string out(bytes.size() * 4, '\0');
  char* inPointer = in.data();
  char* outPointer = out.data();
  std::size_t inLeft = in.size();
  std::size_t outLeft = out.size();
  const std::size_t result = iconv(converter, &inPointer, &inLeft, &outPointer, &outLeft);
  iconv_close(converter);
  if (result == static_cast<std::size_t>(-1)) return "<not valid CP932>";
  out.resize(out.size() - outLeft);
  return out;
}

TEST(Messages, ReadAsTheirJapaneseTexts) {
  EXPECT_EQ(FromCodePage932(kDirectXText),
            "本製品を起動するにはDirectX9.0c以降が必要です。\n"
            "Disc1のDIRECTXというフォルダ内にあるDXSETUP.EXEを\n"
            "実行すると必要なDirextXをインストールすることができます。");
  EXPECT_EQ(FromCodePage932(kDirectXCaption), "ザルヴェーナ");
  EXPECT_EQ(FromCodePage932(kNotInstalledText),
            "ザルヴェーナDL版はインストールされていません。\n"
            "ダウンロードしたファイルを解凍してください。");
  EXPECT_EQ(FromCodePage932(kNotInstalledCaption), "ザルヴェーナDL版");
  EXPECT_EQ(FromCodePage932(kDamagedText),
            "ゲームの初期化ファイルの内容が破壊されています。\n"
            "データをインストールしてある場合は、インストールしてあるデータを削除してから再起動"
            "してください。");
  EXPECT_STREQ(kDamagedCaption, "Setup");
}

}  // namespace
