{ Writes the request packets of a till built with Free Pascal/Lazarus, as its
  TBufDataset saves them in XML, for the tests under tests/data.
  Rebuild the fixtures (needs fp-compiler and fp-units-db):
    fpc -FE/tmp tests/formats/lazarus/write_packets.pas && /tmp/write_packets tests/data
  Where fpc is installed, the ctest lazarus_packets_are_what_free_pascal_writes
  writes them again and compares. }
program write_packets;

{$mode objfpc}{$H+}{$codepage utf8}

uses
  cwstring, SysUtils, DB, BufDataset, FmtBCD, XMLDatapacketReader;

var
  OutDir: string;

function NewDataset: TBufDataset;
begin
  Result := TBufDataset.Create(nil);
end;

{ ART_ID, TAX_ID, PLU_NAZIV, CENA, KOLICINA: receipts and article files alike. }
function ArticleDataset: TBufDataset;
begin
  Result := NewDataset;
  Result.FieldDefs.Add('ART_ID', ftString, 20, True);
  Result.FieldDefs.Add('TAX_ID', ftString, 1, True);
  Result.FieldDefs.Add('PLU_NAZIV', ftString, 40, True);
  with Result.FieldDefs.AddFieldDef do
  begin
    Name := 'CENA'; DataType := ftFmtBCD; Size := 2; Precision := 10; Required := True;
  end;
  with Result.FieldDefs.AddFieldDef do
  begin
    Name := 'KOLICINA'; DataType := ftFmtBCD; Size := 3; Precision := 10; Required := True;
  end;
  Result.CreateDataset;
end;

procedure AddArticle(D: TBufDataset; const Art, Tax, Name, Cena, Kolicina: string);
begin
  D.Append;
  D.FieldByName('ART_ID').AsString := Art;
  D.FieldByName('TAX_ID').AsString := Tax;
  D.FieldByName('PLU_NAZIV').AsString := Name;
  D.FieldByName('CENA').AsString := Cena;
  D.FieldByName('KOLICINA').AsString := Kolicina;
  D.Post;
end;

{ Three sale lines, the end line and a cash payment. }
procedure AddReceipt(D: TBufDataset);
begin
  AddArticle(D, '1001', '1', 'MLEKO 1L', '12.5', '2');
  AddArticle(D, '1002', '2', 'ČOKOLADA ŠUMSKA', '149.99', '1.234');
  AddArticle(D, '1003', '1', 'HLEB', '55', '3');
  AddArticle(D, 'KRAJBONA', '0', '-', '0', '0');
  AddArticle(D, 'PAY_1', '0', '-', '500', '0');
end;

procedure Save(D: TBufDataset; const Name: string);
begin
  D.SaveToFile(OutDir + '/' + Name, dfXML);
  D.Free;
end;

procedure WriteReceipt;
var
  D: TBufDataset;
begin
  D := ArticleDataset;
  AddReceipt(D);
  Save(D, 'lazarus_abc_receipt.zvx');
end;

{ The same receipt from a till whose regional settings use a decimal comma. }
procedure WriteReceiptDecimalComma;
var
  D: TBufDataset;
begin
  D := ArticleDataset;
  AddReceipt(D);
  DefaultFormatSettings.DecimalSeparator := ',';
  try
    Save(D, 'lazarus_abc_decimal_comma.zvx');
  finally
    DefaultFormatSettings.DecimalSeparator := '.';
  end;
end;

{ The receipt once merged, then a line deleted and a line changed, saved
  without merging: the change log travels with the packet. }
procedure WriteReceiptWithChanges;
var
  D: TBufDataset;
begin
  D := ArticleDataset;
  AddArticle(D, '1009', '1', 'POGRESNO', '9.99', '1');
  AddReceipt(D);
  D.MergeChangeLog;
  D.First;
  D.Delete;
  D.Locate('ART_ID', '1003', []);
  D.Edit;
  D.FieldByName('KOLICINA').AsString := '4';
  D.FieldByName('PLU_NAZIV').AsString := 'HLEB BELI';
  D.Post;
  Save(D, 'lazarus_abc_deleted_and_modified_rows.zvx');
end;

procedure WriteArticles;
var
  D: TBufDataset;
begin
  D := ArticleDataset;
  AddArticle(D, '2001', '1', 'JOGURT', '89.90', '10');
  AddArticle(D, '2002', '2', 'SOK OD JABUKE', '120', '0');
  Save(D, 'lazarus_art_articles.zvx');
end;

procedure WriteCommands;
var
  D: TBufDataset;
begin
  D := NewDataset;
  D.FieldDefs.Add('KOMANDA', ftString, 3, True);
  D.FieldDefs.Add('TEKST', ftString, 40);
  D.CreateDataset;
  D.AppendRecord(['20', 'DOBRO DOSLI']);
  D.Append;
  D.FieldByName('KOMANDA').AsString := '30';
  D.Post;
  D.AppendRecord(['50', '1000.00']);
  Save(D, 'lazarus_cmd_commands.zvx');
end;

begin
  OutDir := ParamStr(1);
  if OutDir = '' then OutDir := '.';
  WriteReceipt;
  WriteReceiptDecimalComma;
  WriteReceiptWithChanges;
  WriteArticles;
  WriteCommands;
end.
