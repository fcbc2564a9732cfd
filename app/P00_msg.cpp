#include "app/P00_msg.h"

namespace velbrin {

namespace {

struct MsgText {
    int n;
    const char* serbian;
    const char* english;
};

// The dash in 54 to 56 is the Windows-1250 en dash, byte 0x96.
const MsgText kMessages[] = {
    {0,
     "Baza podataka necitljiva!\n\nPreporuka:\n\nPozovite Helvane-u",
     "Database can not be read!\n\nRecomendation:\n\n1. Call Helvane"},
    {1,
     "Prekid komunikacije sa FP-550!\nProgram ce biti prekinut!\n\nPreporuka:\n\n1. Proverite sve kablove\n\n2. Proverite da li svetli zelena lampica na FP-550\n\n3. Proverite da li svetli L1 lampica na GPRS modemu",
     "Communication with FP-550 interupted!\nProgram will shutdown!\n\nRecomendation:\n\n1. Check all cables\n\n2. Check green led on FP-550\n\n3. Check green led on L1 on GPRS modem"},
    {2,
     "Kabl DISPLAY-ja za kupca verovatno u prekidu!\nProdaja nije moguca\n\nPreporuka:\n\nProverite kabl",
     "Customer DISPLAY cable probable broken!\nSales is forbidden\n\nRecomendation:\n\n1. Check cable"},
    {3,
     "Nestalo je papira na BON-u ili JOURNAL-u!\n\nPreporuka:\n\n1. ZAMENITE PAPIR!\n\n2. VRATITE POLUGU!\n\n3. ZATVORITE POKLOPAC!\n\nPritisnite OK kada ga zamenite",
     "No paper on BON or JOURNAL tape!\n\nRecomendation:\n\n1. Change paper!\n\n2. Return LEVER!\n\n3. Close COVER!\n\nPress OK when finish"},
    {4,
     "Razlika vremena na stampacu i racunaru je veca od definisane!\n\nPreporuka:\n\n1. Proverite / podesite vreme na racunaru\n2. Podesite zimsko / letnje vreme na stampacu, kroz program Zorvex-menu\n3. Odnesite stampac u servis da se podesi vreme",
     "Time difference between PC and FP-550 is more then defined!\n\nRecomendation:\n\n1. Check and set PC time \n2. Check winter/summer time on FP-550, with Zorvex-menu\n3. Set time in certified service center"},
    {5,
     "Program zahteva Zorvex.fdb ver.300!\nProgram ce biti prekinut!\n\nPreporuka:\n\nPozovite Helvane-u",
     "Program requires Zorvex.fdb ver.300!\nProgram will shutdown!\n\nRecomendation:\n\n1. Call Helvane"},
    {6,
     "Ovaj FP-550 NIJE fiskalizovan!\nRadite na sopstvenu odgovornost!",
     "This FP-550 IS NOT fiskalized!\nYou are working at wour own responsibility!"},
    {50,
     "Akcija zahteva ZATVARANJE dana!",
     "Akction requires CLOSING A DAY!"},
    {51,
     "Poreske grupe nisu setovane!\n\nPreporuka:\n\nOdnesite stampac u servis",
     "Tax group are not set!\n\nRecomendation:\n\nTake printer in certified service center"},
    {52,
     "Brisanje svih artikala iz stampaca nije uspelo!\n\nPreporuka:\n\nPozovite ovlasceni servis ili Helvane-u",
     "Deleting article from Printer is not sucessfull!\n\nRecomendation:\n\nCall sertified service center or Helvane"},
    {53,
     "Struktura ABC file-e neodgovarajuca!\n\nPreporuka:\n\n1. Mora da ima klauzulu KRAJBONA\n2. Mora da ima od 1 do 250 stavki",
     "Structure of ABC file wrong!\n\nRecomendation:\n\n1. Must have clause KRAJBONA\n2. Must have from 1 till 250 items"},
    {54,
     "Polje CENA \x96" " mora biti od 0.01 do 990000",
     "Field CENA / PRICE \x96" " must be from 0.01 till 990000"},
    {55,
     "Polje KOLICINA \x96" " mora biti po formatu:\n\nNNNNN , NNN.N , NN.NN , N.NNN , nije 0",
     "Field KOLICINA / QUANTITY\x96" "must be formated:\n\nNNNNN , NNN.N , NN.NN , N.NNN , not 0"},
    {56,
     "Polje IZNOS stavke \x96" " mora biti u opsegu od 0 do 9900000",
     "Field IZNOS / AMOUNT  \x96" " must be from 0 till 9900000"},
    {57,
     "U toku rada programa doslo je do promene/zamene FP-550!\nProgram ce biti prekinut!",
     "During processing FP-550 is changed with other!\nProgram shutdown!"},
    {58,
     "Ne postoje uslovi za promenu poreskih grupa!\n\nPreporuka:\n\n1. Zatvorite dan\n2. Obrisite artikle iz FP-550 i baze",
     "Tax group can not be changed!\n\nRecomendation:\n\n1. Close a day\n2. Delete articles from FP-550 and database"},
    {59,
     "NEUSPESNA promena poreskih grupa!",
     "Tax group change unsucessfull!"},
    {60,
     "Poreska grupa je nevazeca\n\nPreporuka:\n\nUnesite vazecu",
     "Tax group wrong\n\nRecomendation:\n\nEnter valid"},
    // 70 to 75: settings and the start marker, refused before the printer is touched
    // ("%1".. are filled in by the caller).
    {70,
     "Podesavanje u LINK.INI ne moze da radi:\n\n[%1] %2=%3\n\n%4\n\nProgram ce biti prekinut!\n\nPreporuka:\n\nIspravite vrednost u %5 i ponovo pokrenite program",
     "A setting in LINK.INI cannot work:\n\n[%1] %2=%3\n\n%4\n\nProgram will shutdown!\n\nRecommendation:\n\nCorrect the value in %5 and start the program again"},
    {71,
     "Komentar iza vrednosti nije dozvoljen: sve posle \"=\" je vrednost. Komentar stavite u poseban red koji pocinje sa \";\".",
     "A comment behind the value is not allowed: everything after \"=\" is the value. Put the comment on a line of its own beginning with \";\"."},
    {72,
     "Broj terminala mora imati od 1 do 20 znakova, bez \"/\" i \"\\\".",
     "The terminal number must have 1 to 20 characters, without \"/\" and \"\\\"."},
    {73,
     "Port nije prepoznat. Dozvoljeno je \"COMn\" (n od 1 do 256; COM1 je /dev/ttyS0) ili puna putanja uredjaja, na primer /dev/ttyUSB0.",
     "The port is not recognised. Accepted are \"COMn\" (n from 1 to 256; COM1 is /dev/ttyS0) or a full device path, for example /dev/ttyUSB0."},
    {74,
     "Putanja baze mora biti puna putanja datoteke (pocinje sa \"/\") ili server:/putanja.",
     "The database path must be a full file path (beginning with \"/\") or host:/path."},
    {75,
     "Oznaka pokretanja programa ne moze da se otvori:\n%1\n(%2)\nProgram ce biti prekinut!\n\nPreporuka:\n\nDok program ne radi, obrisite oznaku: sudo rm %1",
     "The program's start marker cannot be opened:\n%1\n(%2)\nProgram will shutdown!\n\nRecommendation:\n\nWhile the program is not running, delete the marker: sudo rm %1"},
    // 76: LINK.INI there but not readable whole ("%2" is one of the Ini* link texts);
    // 77: a server database that does not sync its writes.
    {76,
     "LINK.INI ne moze da se procita:\n%1\n(%2)\nProgram ce biti prekinut!\n\nPreporuka:\n\nVratite LINK.INI iz rezervne kopije, ili ga obrisite da bi program napravio novi sa podrazumevanim vrednostima (posle toga proverite TerminalNo, FP i DbPath).",
     "LINK.INI cannot be read:\n%1\n(%2)\nProgram will shutdown!\n\nRecommendation:\n\nRestore LINK.INI from a backup copy, or delete it so that the program makes a new one with the default values (then check TerminalNo, FP and DbPath)."},
    {77,
     "Baza na serveru ne upisuje sigurno (forced writes iskljuceno):\n%1\nNestanak struje na serveru moze da osteti bazu.\nProgram ce biti prekinut!\n\nPreporuka:\n\nAdministrator servera neka pokrene: gfix -write sync %2",
     "The database on the server does not sync its writes (forced writes off):\n%1\nA power cut at the server could damage it.\nProgram will shutdown!\n\nRecommendation:\n\nThe server's administrator runs: gfix -write sync %2"},
    {90,
     "Odgovori ne mogu u izlazni direktorijum; cekaju i bice predati kad bude moguce.\nRad se nastavlja.",
     "Answers cannot be put into the answer folder; they wait and are delivered when it takes them.\nWork goes on."},
    {91,
     "Zahtevi ne mogu da se obrisu iz ulaznog direktorijuma!\nIzvrseni zahtevi se ne ponavljaju.\n\nPreporuka:\n\nDajte programu pravo pisanja u direktorijum",
     "Requests cannot be removed from the request folder!\nRequests carried out are not repeated.\n\nRecommendation:\n\nGive the program the right to write in the folder"},
    {92,
     "Odgovori ne mogu da se zapisu (disk pun ili zasticen)!\nNovi zahtevi se ne primaju dok se to ne resi.",
     "Answers cannot be written down (disk full or protected)!\nNo new request is taken until this is solved."},
    {93,
     "Tekst nije odstampan (ili nije do kraja): program je bio prekinut.",
     "Text not printed (or not wholly): the program was stopped."},
    {94,
     "Racun nije odstampan: pri pokretanju programa u ulaznom direktorijumu je bilo vise neprimljenih racuna. Posaljite ga ponovo.",
     "Receipt not printed: at the program's start the request folder held several receipts not yet taken in. Send it again."},
    {95,
     "Baza podataka ne odgovara!\n%1\n\nZapoceti zahtev je zadrzan; nijedan zahtev se ne izvrsava dok baza ne proradi.\nProgram se sam ponovo povezuje i nastavlja rad bez ponovnog pokretanja.\n\nPreporuka:\n\nProverite server baze podataka i mrezu",
     "The database does not answer!\n%1\n\nThe request under way is held; no request is carried out until the database answers again.\nThe program connects again by itself and goes on without a restart.\n\nRecommendation:\n\nCheck the database server and the network"},
    // 96: a closed day whose totals differ between printer and database
    // ("%1" day, "%2" printer, "%3" database, "%4" difference); 97: a database
    // older than the numbers the link has issued ("%1" the database, "%2" "%3"
    // its last receipt and day, "%4" "%5" the link's, "%6" the link's record).
    {96,
     "Promet dana %1 u stampacu i u bazi se razlikuje!\n\nStampac (Z izvestaj): %2\nBaza podataka: %3\nRazlika: %4\n\nPreporuka:\n\nProverite racune tog dana u stampacu i u bazi; razlika je zapisana u LINK_log.txt",
     "The totals of day %1 differ between the printer and the database!\n\nPrinter (Z report): %2\nDatabase: %3\nDifference: %4\n\nRecommendation:\n\nCheck the day's receipts in the printer and in the database; the difference is written in LINK_log.txt"},
    {97,
     "Baza podataka je starija od brojeva koje je program vec izdao!\n%1\n\nU bazi: poslednji racun %2, poslednji dan %3\nProgram je izdao: racun %4, dan %5\n\nRacuni i dani kojih nema u bazi dobili bi iste brojeve kao vec odstampani i izvezeni.\nProgram ce biti prekinut!\n\nPreporuka:\n\n1. Vratite najnoviju kopiju baze podataka\n2. Ako novije kopije nema, servis brise %6 i program nastavlja sa ovom bazom (brojevi se nastavljaju iz baze)",
     "The database is older than the numbers the program has already issued!\n%1\n\nIn the database: last receipt %2, last day %3\nIssued by the program: receipt %4, day %5\n\nReceipts and days missing from the database would get the numbers of ones already printed and exported.\nProgram will shutdown!\n\nRecommendation:\n\n1. Put back the newest copy of the database\n2. If there is no newer copy, the service deletes %6 and the program goes on with this database (numbering goes on from the database)"},
};

struct LinkText {
    TLinkText id;
    const char* serbian;
    const char* english;
};

const LinkText kLinkTexts[] = {
    {TLinkText::NoDisplay,
     "velbrin-link: nema ekrana (DISPLAY) za ikonu programa; program nije pokrenut",
     "velbrin-link: no display (DISPLAY) to show the tray icon on; the link did not start"},
    {TLinkText::StateStarting, "Pokretanje", "Starting"},
    {TLinkText::StateWorking, "Radi; poslednji odgovor u", "Working; last answer at"},
    {TLinkText::StateNoRequestYet, "Radi; jos nema zahteva", "Working; no request yet"},
    {TLinkText::StateWaitingOperator, "Ceka operatera", "Waiting for the operator"},
    {TLinkText::StatePrinterSilent, "Stampac ne odgovara", "Printer not answering"},
    {TLinkText::StateAnswersWaiting, "Odgovori cekaju: From_FP ih ne prima", "Answers waiting: From_FP refuses them"},
    {TLinkText::StateStopped, "Zaustavljen posle greske", "Stopped after an error"},
    {TLinkText::StateDbConnecting, "Povezivanje sa serverom baze podataka ...", "Connecting to the database server ..."},
    {TLinkText::StateDbLost, "Baza podataka ne odgovara", "Database not answering"},
    {TLinkText::ProgressTitle, "Velbrin - LINK: rad sa stampacem", "Velbrin - LINK: printer work"},
    {TLinkText::ProgressArticleSync, "Uskladjivanje artikala", "Synchronising articles"},
    {TLinkText::ProgressArticleDelete, "Brisanje artikala iz stampaca", "Deleting the printer's articles"},
    {TLinkText::ProgressArticleFile, "Upis artikala", "Writing articles"},
    {TLinkText::ProgressDayClosing, "Zatvaranje dana i izvoz", "Closing the day and exporting"},
    {TLinkText::PortNotSerialName, "ne moze da se otvori: nije naziv serijskog porta",
     "cannot be opened: not a serial port name"},
    {TLinkText::PortCannotOpen, "ne moze da se otvori", "cannot be opened"},
    {TLinkText::PortNotSerial, "ne moze da se otvori: nije serijski port", "cannot be opened: not a serial port"},
    {TLinkText::PortNoPermission, "pristup odbijen (korisnik mora biti u grupi dialout)",
     "permission denied (the user needs to be a member of the dialout group)"},
    {TLinkText::PortInUse, "koristi ga drugi program", "in use by another program"},
    {TLinkText::PortNoDevice, "proverite kabl ili adapter i port u LINK.INI [Portovi] FP",
     "check the cable or adapter and the port named in LINK.INI [Portovi] FP"},
    {TLinkText::AnswerWaits, "Odgovor %1 ceka u %2 dok ga %3 ne primi",
     "The answer %1 waits in %2 until %3 takes it"},
    {TLinkText::AnswerNotCopied, "Odgovor %1 nije mogao da se kopira u %2",
     "The answer %1 could not be copied to %2"},
    {TLinkText::IniCannotRead, "ne moze da se otvori ili procita", "cannot be opened or read"},
    {TLinkText::IniNulBytes, "sadrzi NUL bajtove: ostecen, na primer nestankom struje",
     "holds NUL bytes: damaged, for example by a power cut"},
    {TLinkText::IniCannotParse, "nije ispravan INI tekst", "is not a valid INI text"},
};

}  // namespace

TMsgTable::TMsgTable() {
    for (const MsgText& m : kMessages) {
        serbian_[m.n] = m.serbian;
        english_[m.n] = m.english;
    }
}

std::string TMsgTable::GetMsg(int n) const {
    if (n < 0 || n >= kCount) return std::string();
    if (language_ == "ENG" && !english_[n].empty()) return english_[n];
    return serbian_[n];
}

}  // namespace velbrin

namespace velbrin {

std::string TMsgTable::Text(TLinkText id) const {
    for (const LinkText& t : kLinkTexts)
        if (t.id == id) return language_ == "ENG" ? t.english : t.serbian;
    return std::string();
}

}  // namespace velbrin
